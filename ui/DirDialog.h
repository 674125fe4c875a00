#pragma once
// The folder chooser: a file dialog that picks folders, never resizable. Its Directory always
// ends with a separator, and FileName is Directory followed by a dummy file name, so that the
// next showing opens in the folder last confirmed.

#include <QFileDialog>

namespace lumivore {

class TOpenDirDlg : public QFileDialog {
    Q_OBJECT
public:
    explicit TOpenDirDlg(QWidget* parent = nullptr);

    QString Directory() const { return directory_; }
    // Stores the folder with a trailing separator; FileName becomes it plus "Dummy.dat".
    void SetDirectory(const QString& folder);
    QString FileName() const { return fileName_; }
    QString InitialDir() const { return initialDir_; }
    void SetTitle(const QString& title) { setWindowTitle(title); }

    // Shows the chooser modally; true when the user confirmed a folder, which Directory then
    // holds. Cancelling leaves Directory as it was.
    bool Execute();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FolderChanged(const QString& folder);

    QString directory_;
    QString fileName_;
    QString initialDir_;
};

} // namespace lumivore
