#pragma once
// The preview window: a tree of the found file types with their counts on the left, a page of
// framed thumbnails of the chosen type on the right, and below the tree a pane with the chosen
// file at full size or its camera metadata. From here the user recovers a selection of files.

#include <QDialog>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/FoundFile.h"
#include "ui/PreviewRules.h"
#include "ui/QtHooks.h"

class QAction;
class QListWidget;
class QListWidgetItem;
class QMenu;
class QMenuBar;
class QSplitter;
class QTabWidget;
class QToolBar;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace lumivore {

class TBitmap;
class TScanEngine;
class TStatusBarEx;

// ---- the window -----------------------------------------------------------------------------

class Tfrm_CustomizeRecovery : public QDialog {
    Q_OBJECT
public:
    // Splitter panes never grow beyond this; the enlarge button sets both panes to it.
    static constexpr int kPaneLimit = 400;

    Tfrm_CustomizeRecovery(TScanEngine& engine, QWidget* parent = nullptr);
    ~Tfrm_CustomizeRecovery() override;

    // Opens the window maximised and modally on the engine's last scan.
    static void Execute(TScanEngine& engine, QWidget* parent);

    std::uint16_t PageSize() const { return pageSize_; }
    // True while a page of thumbnails loads or a recovery runs.
    bool Working() const { return loading_ || recovering_; }

    // For a test that has to choose a destination without a dialog: when set, "Recover" asks
    // this instead of showing the folder chooser.
    std::function<QString()> ChooseDirectoryOverride;
    // For a test: when set, an enlarged picture is handed to this instead of being shown.
    std::function<void(QDialog& viewer)> PictureViewerHook;

    // The metadata lines as the window shows them: MetadataValues with the size and the date
    // in the user's locale.
    static QStringList ShownMetadata(const TFoundFile& file);
    // How a photo that a used card split was put back together, or that its rest is missing;
    // empty for a file that lies in one run.
    static QString PiecesShown(const TFoundFile& file);

public Q_SLOTS:
    void acRecoverExecute();
    // The enlarge button: both panes of the splitters to kPaneLimit.
    void Image2Click();

Q_SIGNALS:
    // After every page load, whether it finished or was cancelled.
    void PageLoaded();
    // After a recovery, with the number of files written whole and failed.
    void RecoveryFinished(int recovered, int failed);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // What the window's parts share (the pages, and the pane of the chosen file, kept in
    // ui/CustomizeRecoveryPane.cpp): the role under which a thumbnail keeps its record's place in
    // FoundFiles, a picture as a pixmap, and the original folder and name an entry of the card's
    // file system gives a file, as recovery with original names writes them (empty when none).
    static constexpr int kListItemIndexRole = Qt::UserRole;
    static QPixmap ToPixmap(const TBitmap& bitmap);
    static QString OriginalNameShown(const TFoundFile& file);

    void BuildWidgets();
    void BuildTree();
    void TranslateCaptions();
    QPixmap Placeholder(const char* art, QSize size, const QString& text, QColor ink) const;

    void TreeView1Change();
    void LoadPage(QTreeWidgetItem* node);
    void LoadThumbnails(std::uint8_t typeIndex, std::int32_t pageStart);
    void ListView1Change();
    void ShowFile(QListWidgetItem* item);
    void FillMetadata(const TFoundFile& file);
    void ClearShownFile();
    QString ThumbnailToolTip(const TFoundFile& file) const;
    void ShowEnlarged(QListWidgetItem* item);
    void ShowPreview(TFoundFile& file);
    void FitImage1();
    void Splitter1Moved();
    void PlaceEnlargeButton();
    QString ChooseDirectory();
    QString lastDirectory_; // the folder confirmed last in this window
    void FinishWork();

    TScanEngine& engine_;
    std::uint16_t pageSize_ = 200;
    TTreeRoot root_ = TTreeRoot::General;
    std::uint8_t selectedTypeIndex_ = 0;
    std::array<QString, kMetadataLines> captions_;
    QString originalCaption_; // the properties' line for the name the card's file system gives
    QString piecesCaption_;   // and the last line: a photo put back together from pieces

    bool loading_ = false;
    bool cancelLoad_ = false;
    QTreeWidgetItem* pendingNode_ = nullptr;
    bool pendingLoad_ = false;
    bool recovering_ = false;
    bool closeRequested_ = false;

    QPixmap previewPixmap_;
    QPixmap corruptedPicture_, unsupportedPicture_;
    QIcon noThumbnailIcon_;

    TQtMessagePump pump_;
    TMessagePump* previousPump_ = nullptr;
    TProgressBar* previousProgress_ = nullptr;

    QMenuBar* MainMenu1 = nullptr;
    QMenu* mnu_photo = nullptr;
    QAction* mnu_recover = nullptr;
    QAction* mnu_exit = nullptr;
    QAction* acRecover = nullptr;
    QAction* Recover1 = nullptr;
    QToolBar* ToolBar1 = nullptr;
    QToolButton* btn_recover = nullptr;
    QToolButton* btn_exit = nullptr;
    QSplitter* Splitter1 = nullptr;
    QSplitter* Splitter2 = nullptr;
    QWidget* Panel5 = nullptr;
    QWidget* Panel6 = nullptr;
    QTreeWidget* TreeView1 = nullptr;
    QTabWidget* PageControl1 = nullptr;
    QWidget* TabSheet1 = nullptr;
    QWidget* TabSheet2 = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QToolButton* Image2 = nullptr;
    QListWidget* ListView1 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    TStatusBarEx* StatusBarEx1 = nullptr;
    QLabel* StatusPanel0 = nullptr;
    QLabel* StatusPanel1 = nullptr;
};

} // namespace lumivore
