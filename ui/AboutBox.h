#pragma once
// The about box: maker, product, version and licence, and links to the product's web page and
// to the support and sales mail addresses where the build sets them. Escape and Enter close it.

#include <QDialog>

namespace lumivore {

// The addresses the box shows; fixed when the program is built, empty when none is set.
QString ProductAddress();
QString SupportMailAddress();
QString SalesMailAddress();

class Tfrm_about : public QDialog {
    Q_OBJECT
public:
    explicit Tfrm_about(QWidget* parent = nullptr);

    void Label4Click(); // web page
    void Label5Click(); // support mail
    void Label6Click(); // sales mail

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

} // namespace lumivore
