#include "ui/DirDialog.h"

#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QSplitter>
#include <QTreeView>
#include <QShowEvent>

#include "support/AppInfo.h"
#include "ui/UiSupport.h"

namespace lumivore {

namespace {
const QString kDummyName = QStringLiteral("Dummy.dat");
}

TOpenDirDlg::TOpenDirDlg(QWidget* parent) : QFileDialog(parent) {
    setObjectName(QStringLiteral("OpenDirDlg"));
    // Qt's own dialog, so that the folder mode, the labels and the fixed size are ours on every
    // desktop.
    setOption(QFileDialog::DontUseNativeDialog, true);
    setOption(QFileDialog::ShowDirsOnly, true);
    setFileMode(QFileDialog::Directory);
    setAcceptMode(QFileDialog::AcceptOpen);
    setSizeGripEnabled(false);
    fileName_ = kDummyName;
    initialDir_ = QString::fromStdString(GetDesktopFolder());
    connect(this, &QFileDialog::directoryEntered, this, &TOpenDirDlg::FolderChanged);
}

void TOpenDirDlg::SetDirectory(const QString& folder) {
    directory_ = folder;
    if (!directory_.endsWith(QLatin1Char('/')))
        directory_ += QLatin1Char('/');
    fileName_ = directory_ + kDummyName;
}

void TOpenDirDlg::FolderChanged(const QString& folder) {
    if (folder.isEmpty()) {
        directory_.clear();
        return;
    }
    const QFileInfo info(folder);
    SetDirectory(info.isDir() ? info.absoluteFilePath() : info.absolutePath());
}

bool TOpenDirDlg::Execute() {
    // Opens in the folder of FileName when it has one, else in InitialDir.
    const QString start = QFileInfo(fileName_).path();
    if (fileName_.contains(QLatin1Char('/')) && QFileInfo(start).isDir())
        setDirectory(start);
    else if (!initialDir_.isEmpty())
        setDirectory(initialDir_);
    const QString folderName = Tr("dialog_folder");
    setLabelText(QFileDialog::LookIn, folderName + QLatin1Char(':'));
    setLabelText(QFileDialog::FileName, folderName + QLatin1Char(':'));
    if (!SystemOkCaption().empty())
        setLabelText(QFileDialog::Accept, QString::fromStdString(SystemOkCaption()));
    setSizeGripEnabled(false);
    if (exec() != QDialog::Accepted)
        return false;
    const QStringList chosen = selectedFiles();
    if (chosen.isEmpty())
        return false;
    const QFileInfo info(chosen.first());
    SetDirectory(info.isDir() ? info.absoluteFilePath() : info.absolutePath());
    return true;
}

void TOpenDirDlg::showEvent(QShowEvent* event) {
    // Room for the places, the folder names and the translated column headings, which Qt's
    // own small default size cuts short ("Com...", "Ver...nis").
    if (auto* places = findChild<QSplitter*>(QStringLiteral("splitter")))
        places->setSizes({170, 630});
    if (auto* folders = findChild<QTreeView*>(QStringLiteral("treeView"))) {
        folders->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
        folders->header()->setStretchLastSection(false);
        folders->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    }
    QFileDialog::showEvent(event);
    // Never resizable, whatever the caller set.
    setSizeGripEnabled(false);
    setFixedSize(size().expandedTo(QSize(800, 480)));
}

} // namespace lumivore
