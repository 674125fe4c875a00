#pragma once
// A found picture shown enlarged, on its own: the preview window opens it on a double click or
// Enter on a thumbnail. The picture is as large as the screen allows (never larger than it is),
// the title names the file, and Escape, Enter or the close box end it.

#include <QDialog>
#include <QPixmap>

class QLabel;

namespace lumivore {

class Tfrm_PictureViewer : public QDialog {
    Q_OBJECT
public:
    // title: the file's name; picture: the decoded file, or the picture that stands in for it.
    Tfrm_PictureViewer(const QString& title, const QPixmap& picture, QWidget* parent = nullptr);

    // The size the picture is shown at within an area: shrunk to fit, keeping its proportions.
    static QSize ShownSize(const QSize& picture, const QSize& area);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

} // namespace lumivore
