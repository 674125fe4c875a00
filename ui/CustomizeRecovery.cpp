#include "ui/CustomizeRecovery.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QSplitter>
#include <QStyledItemDelegate>
#include <QSvgRenderer>
#include <QTabWidget>
#include <QThread>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

#include "engine/FileTypes.h"
#include "engine/Recovery.h"
#include "engine/ScanEngine.h"
#include "i18n/FormTranslation.h"
#include "i18n/MultiLanguage.h"
#include "i18n/TranslationKeys.h"
#include "preview/Bitmap.h"
#include "preview/Thumbnails.h"
#include "support/Settings.h"
#include "ui/DirDialog.h"
#include "ui/StatusBarEx.h"
#include "ui/UiSupport.h"

// Resources of a static library are registered by hand, outside any namespace.
static void InitPreviewResources() { Q_INIT_RESOURCE(preview); }

namespace lumivore {

// ---- the window -------------------------------------------------------------------------------

namespace {

const char* const kGeneralTypeArt[kGeneralTypeCount] = {
    "type_bmp", "type_jpeg", "type_gif", "type_png", "type_dng",
    "type_tiff", "type_realaudio", "type_wav", "type_avi", "type_cdr",
};
const char* const kMakerArt[kMakerTypeCount] = {
    "maker_canon", "maker_kodak", "maker_leica", "maker_mamiya", "maker_nikon",
    "maker_olympus", "maker_panasonic", "maker_pentax", "maker_samsung", "maker_sony",
    "maker_sigma", "maker_minolta", "maker_fuji",
};
const char* const kPhoneArt[kPhoneTypeCount] = {
    "phone_heic", "phone_avif", "phone_mp4", "phone_mov", "phone_3gp", "phone_cr3", "phone_webp",
};

QIcon ArtIcon(const char* name) { return QIcon(QStringLiteral(":/preview/%1.svg").arg(QLatin1String(name))); }

// Fills the "%d" and "%s" of a translated text in order; anything else stays as written, so a
// damaged translation can neither read arguments that are not there nor swallow text.
QString Fill(const QString& text, const QStringList& values) {
    QString out;
    qsizetype next = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('%') && i + 1 < text.size() &&
            (text[i + 1] == QLatin1Char('d') || text[i + 1] == QLatin1Char('s')) && next < values.size()) {
            out += values[next++];
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Draws the selected node bold in blue on light yellow; the very first node, when selected,
// black on white.
class TTreeNodeDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        if (!(option.state & QStyle::State_Selected)) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyleOptionViewItem opt(option);
        initStyleOption(&opt, index);
        opt.state &= ~QStyle::State_Selected;
        const bool first = !index.parent().isValid() && index.row() == 0;
        painter->fillRect(option.rect, first ? QColor(255, 255, 255) : QColor(255, 255, 208));
        if (!first) {
            opt.font.setBold(true);
            opt.palette.setColor(QPalette::Text, QColor(0, 0, 255));
        } else {
            opt.palette.setColor(QPalette::Text, QColor(0, 0, 0));
        }
        const QWidget* widget = opt.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
    }
};

// Everything the window shows while a long operation runs is undone on every path out.
struct TBusyDisplay {
    QLabel* Panel;
    QProgressBar* Bar;
    TBusyDisplay(QLabel* panel, QProgressBar* bar, const QString& text) : Panel(panel), Bar(bar) {
        Panel->setText(text);
        Panel->setFixedWidth(150);
        Bar->setValue(0);
        Bar->show();
    }
    ~TBusyDisplay() {
        Bar->setValue(0);
        Panel->clear();
        Panel->setMinimumWidth(0);
        Panel->setMaximumWidth(QWIDGETSIZE_MAX);
        Bar->hide();
    }
};

} // namespace

QPixmap Tfrm_CustomizeRecovery::ToPixmap(const TBitmap& bitmap) {
    const QImage image(bitmap.Data(), bitmap.Width(), bitmap.Height(), static_cast<qsizetype>(bitmap.Stride()),
                       QImage::Format_RGB888);
    return QPixmap::fromImage(image.copy());
}

// The folder's components are made safe, as recovery makes them: the card's text is hostile.
QString Tfrm_CustomizeRecovery::OriginalNameShown(const TFoundFile& file) {
    std::vector<std::string> folder;
    std::string name;
    if (!OriginalFilePath(file, false, 0, folder, name))
        return {};
    std::string path;
    for (const std::string& part : folder)
        path += part + "/";
    return QString::fromStdString(path + name);
}

Tfrm_CustomizeRecovery::Tfrm_CustomizeRecovery(TScanEngine& engine, QWidget* parent)
    : QDialog(parent), engine_(engine) {
    InitPreviewResources();
    setObjectName(QStringLiteral("frm_CustomizeRecovery"));
    // The engine's hooks belong to the window while it is open: reads of the preview do not
    // pump events (a click during a read would start a second read), recovery does.
    previousPump_ = engine_.MessagePump;
    previousProgress_ = engine_.ProgressBar;
    engine_.MessagePump = nullptr;
    engine_.ProgressBar = nullptr;

    pageSize_ = PageSizeFromFilesOnce(TSettingsStore().ReadInteger("FilesOnce"));
    {
        TTranslationsSession session;
        static const char* const kCaptionKeys[kMetadataLines] = {
            "photo_type", "photo_filesize", "photo_width", "photo_height", "photo_manufacture", "photo_model",
            "photo_takendate", "photo_iso", "photo_exposuretime", "photo_fnumber", "photo_focallength",
        };
        for (std::size_t i = 0; i < kMetadataLines; ++i)
            captions_[i] = Tr(kCaptionKeys[i]);
        originalCaption_ = Tr("photo_originalname");
        piecesCaption_ = Tr("photo_pieces");
        noThumbnailIcon_ = QIcon(Placeholder("nothumb", QSize(kThumbSize, kThumbSize), Tr("pic_nothumbnail"),
                                             QColor(229, 231, 235)));
        corruptedPicture_ = Placeholder("corrupted", QSize(130, 130), Tr("pic_corrupted"), Qt::white);
        unsupportedPicture_ = Placeholder("notsupported", QSize(130, 130), Tr("pic_notsupported"), Qt::white);
        BuildWidgets();
        BuildTree();
    }
    QStringList lines;
    for (const QString& caption : captions_)
        lines << caption + QLatin1Char(':');
    lines << originalCaption_ + QLatin1Char(':');
    lines << piecesCaption_ + QLatin1Char(':');
    Label1->setText(lines.join(QLatin1Char('\n')));
}

Tfrm_CustomizeRecovery::~Tfrm_CustomizeRecovery() {
    engine_.MessagePump = previousPump_;
    engine_.ProgressBar = previousProgress_;
}

void Tfrm_CustomizeRecovery::Execute(TScanEngine& engine, QWidget* parent) {
    Tfrm_CustomizeRecovery window(engine, parent);
    window.setWindowState(window.windowState() | Qt::WindowMaximized);
    window.exec();
}

QPixmap Tfrm_CustomizeRecovery::Placeholder(const char* art, QSize size, const QString& text, QColor ink) const {
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QSvgRenderer(QStringLiteral(":/preview/%1.svg").arg(QLatin1String(art))).render(&painter);
    // The text fills the lower part below the picture, in as large a font as fits.
    const QRect area(4, size.height() * 45 / 100, size.width() - 8, size.height() * 55 / 100 - 4);
    QFont font = painter.font();
    for (int points = size.width() > 100 ? 10 : 8; points >= 5; --points) {
        font.setPointSize(points);
        const QRect needed = QFontMetrics(font).boundingRect(area, Qt::AlignCenter | Qt::TextWordWrap, text);
        if (area.contains(needed))
            break;
    }
    painter.setFont(font);
    painter.setPen(ink);
    painter.drawText(area, Qt::AlignCenter | Qt::TextWordWrap, text);
    return pixmap;
}

void Tfrm_CustomizeRecovery::BuildWidgets() {
    setWindowTitle(QStringLiteral("Preview"));
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint);
    setSizeGripEnabled(false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    acRecover = new QAction(ArtIcon("recover"), QStringLiteral("Recover"), this);
    acRecover->setObjectName(QStringLiteral("acRecover"));
    connect(acRecover, &QAction::triggered, this, &Tfrm_CustomizeRecovery::acRecoverExecute);
    auto* exitAction = new QAction(ArtIcon("exit"), QStringLiteral("Exit"), this);
    connect(exitAction, &QAction::triggered, this, &QWidget::close);

    MainMenu1 = new QMenuBar(this);
    MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
    mnu_photo = MainMenu1->addMenu(QStringLiteral("&Photos"));
    mnu_photo->setObjectName(QStringLiteral("mnu_photo"));
    mnu_recover = mnu_photo->addAction(ArtIcon("recover"), QStringLiteral("&Recover"));
    mnu_recover->setObjectName(QStringLiteral("mnu_recover"));
    connect(mnu_recover, &QAction::triggered, this, &Tfrm_CustomizeRecovery::acRecoverExecute);
    mnu_photo->addSeparator();
    mnu_exit = mnu_photo->addAction(QStringLiteral("E&xit"));
    mnu_exit->setObjectName(QStringLiteral("mnu_exit"));
    connect(mnu_exit, &QAction::triggered, this, &QWidget::close);
    layout->setMenuBar(MainMenu1);

    ToolBar1 = new QToolBar(this);
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setIconSize(QSize(32, 32));
    ToolBar1->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    btn_recover = new QToolButton(ToolBar1);
    btn_recover->setObjectName(QStringLiteral("btn_recover"));
    btn_recover->setDefaultAction(acRecover);
    btn_recover->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    btn_recover->setMinimumSize(84, 38);
    btn_exit = new QToolButton(ToolBar1);
    btn_exit->setObjectName(QStringLiteral("btn_exit"));
    btn_exit->setDefaultAction(exitAction);
    btn_exit->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    btn_exit->setMinimumSize(84, 38);
    ToolBar1->addWidget(btn_recover);
    ToolBar1->addWidget(btn_exit);
    layout->addWidget(ToolBar1);

    Splitter1 = new QSplitter(Qt::Horizontal, this);
    Splitter1->setObjectName(QStringLiteral("Splitter1"));
    Splitter1->setChildrenCollapsible(false);
    Panel5 = new QWidget(Splitter1);
    Panel5->setObjectName(QStringLiteral("Panel5"));
    Panel5->setMaximumWidth(kPaneLimit);
    auto* panel5Layout = new QVBoxLayout(Panel5);
    panel5Layout->setContentsMargins(0, 0, 0, 0);
    Splitter2 = new QSplitter(Qt::Vertical, Panel5);
    Splitter2->setObjectName(QStringLiteral("Splitter2"));
    Splitter2->setChildrenCollapsible(false);
    panel5Layout->addWidget(Splitter2);

    TreeView1 = new QTreeWidget(Splitter2);
    TreeView1->setObjectName(QStringLiteral("TreeView1"));
    TreeView1->setHeaderHidden(true);
    TreeView1->setIndentation(19);
    TreeView1->setRootIsDecorated(false);
    TreeView1->setIconSize(QSize(16, 16));
    TreeView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    TreeView1->setSelectionMode(QAbstractItemView::SingleSelection);
    TreeView1->setItemDelegate(new TTreeNodeDelegate(TreeView1));
    // The row's margin left of the text takes the selected node's colours too.
    QPalette treeColours = TreeView1->palette();
    treeColours.setColor(QPalette::Highlight, QColor(255, 255, 208));
    treeColours.setColor(QPalette::HighlightedText, QColor(0, 0, 255));
    TreeView1->setPalette(treeColours);
    connect(TreeView1, &QTreeWidget::itemSelectionChanged, this, &Tfrm_CustomizeRecovery::TreeView1Change);

    Panel6 = new QWidget(Splitter2);
    Panel6->setObjectName(QStringLiteral("Panel6"));
    Panel6->setMaximumHeight(kPaneLimit);
    auto* panel6Layout = new QVBoxLayout(Panel6);
    panel6Layout->setContentsMargins(0, 0, 0, 0);
    PageControl1 = new QTabWidget(Panel6);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    panel6Layout->addWidget(PageControl1);
    TabSheet1 = new QWidget;
    TabSheet1->setObjectName(QStringLiteral("TabSheet1"));
    Image1 = new QLabel(TabSheet1);
    Image1->setObjectName(QStringLiteral("Image1"));
    TabSheet2 = new QWidget;
    TabSheet2->setObjectName(QStringLiteral("TabSheet2"));
    auto* propertiesLayout = new QHBoxLayout(TabSheet2);
    Label1 = new QLabel(TabSheet2);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setAlignment(Qt::AlignRight | Qt::AlignTop);
    Label2 = new QLabel(TabSheet2);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label2->setTextInteractionFlags(Qt::TextSelectableByMouse);
    propertiesLayout->addWidget(Label1);
    propertiesLayout->addWidget(Label2, 1);
    PageControl1->addTab(TabSheet1, QStringLiteral("Preview"));
    PageControl1->addTab(TabSheet2, QStringLiteral("Properties"));
    connect(PageControl1, &QTabWidget::currentChanged, this, &Tfrm_CustomizeRecovery::ListView1Change);
    TabSheet1->installEventFilter(this);
    Panel6->installEventFilter(this);

    Image2 = new QToolButton(Panel6);
    Image2->setObjectName(QStringLiteral("Image2"));
    Image2->setIcon(ArtIcon("enlarge"));
    Image2->setIconSize(QSize(14, 14));
    Image2->setFixedSize(18, 18);
    Image2->setAutoRaise(true);
    Image2->setCursor(Qt::PointingHandCursor);
    connect(Image2, &QToolButton::clicked, this, &Tfrm_CustomizeRecovery::Image2Click);

    ListView1 = new QListWidget(Splitter1);
    ListView1->setObjectName(QStringLiteral("ListView1"));
    ListView1->setViewMode(QListView::IconMode);
    ListView1->setIconSize(QSize(kThumbSize, kThumbSize));
    ListView1->setResizeMode(QListView::Adjust);
    ListView1->setMovement(QListView::Static);
    ListView1->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->setUniformItemSizes(true);
    ListView1->setSpacing(4);
    // Every cell is as wide as a name of some twenty letters under its thumbnail, whatever the
    // first file of the page is called: names from the card's file system run that long, and a
    // longer one loses its middle, never its extension (the tool tip holds it whole).
    ListView1->setTextElideMode(Qt::ElideMiddle);
    ListView1->setGridSize(QSize(std::max(kThumbSize, ListView1->fontMetrics().horizontalAdvance(
                                                          QStringLiteral("S0000_ExtendedXMP.jpg"))) +
                                     12,
                                 kThumbSize + ListView1->fontMetrics().height() + 14));
    ListView1->setContextMenuPolicy(Qt::CustomContextMenu);
    PopupMenu1 = new QMenu(ListView1);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    Recover1 = PopupMenu1->addAction(ArtIcon("recover"), QStringLiteral("&Recover"));
    Recover1->setObjectName(QStringLiteral("Recover1"));
    connect(Recover1, &QAction::triggered, this, &Tfrm_CustomizeRecovery::acRecoverExecute);
    connect(ListView1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { PopupMenu1->popup(ListView1->viewport()->mapToGlobal(at)); });
    connect(ListView1, &QListWidget::itemSelectionChanged, this, &Tfrm_CustomizeRecovery::ListView1Change);
    // A double click or Enter shows the picture enlarged.
    connect(ListView1, &QListWidget::itemDoubleClicked, this, &Tfrm_CustomizeRecovery::ShowEnlarged);
    ListView1->installEventFilter(this);

    Splitter1->addWidget(Panel5);
    Splitter1->addWidget(ListView1);
    Splitter1->setStretchFactor(1, 1);
    Splitter2->setStretchFactor(0, 1);
    Splitter1->setSizes({265, 1000});
    Splitter2->setSizes({1000, 219});
    connect(Splitter1, &QSplitter::splitterMoved, this, &Tfrm_CustomizeRecovery::Splitter1Moved);
    connect(Splitter2, &QSplitter::splitterMoved, this, &Tfrm_CustomizeRecovery::FitImage1);
    layout->addWidget(Splitter1, 1);

    StatusBarEx1 = new TStatusBarEx(this);
    StatusBarEx1->setObjectName(QStringLiteral("StatusBarEx1"));
    StatusPanel0 = new QLabel(StatusBarEx1);
    StatusPanel0->setObjectName(QStringLiteral("StatusPanel0"));
    StatusPanel1 = new QLabel(StatusBarEx1);
    StatusPanel1->setObjectName(QStringLiteral("StatusPanel1"));
    StatusPanel1->setFixedWidth(270);
    StatusBarEx1->addWidget(StatusPanel0, 1);
    StatusBarEx1->addPermanentWidget(StatusPanel1);
    StatusBarEx1->ProgressBar()->setMaximumWidth(299);
    StatusBarEx1->ProgressBar()->setMinimumWidth(200);
    layout->addWidget(StatusBarEx1);
    resize(1024, 720);
}

void Tfrm_CustomizeRecovery::BuildTree() {
    TreeView1->clear();
    const auto addType = [this](QTreeWidgetItem* root, const QString& caption, std::int32_t count, const QIcon& icon) {
        auto* node = new QTreeWidgetItem(root, {caption + QStringLiteral(" - %1").arg(count)});
        node->setIcon(0, icon);
        const std::vector<std::string> ranges = PageRangeCaptions(count, pageSize_);
        for (const std::string& range : ranges) {
            auto* child = new QTreeWidgetItem(node, {QString::fromStdString(range)});
            child->setIcon(0, ArtIcon("range"));
        }
        // Only leaves show a page: a type whose files are split into ranges is a heading.
        if (!ranges.empty())
            node->setFlags(Qt::ItemIsEnabled);
    };

    auto* general = new QTreeWidgetItem(
        TreeView1, {DisplayText(Translate(CurrentLanguage(), "ftype_general", kPreviewGeneralFilesDefault))});
    general->setIcon(0, ArtIcon("root_general"));
    general->setFlags(Qt::ItemIsEnabled);
    for (std::size_t i = 0; i < kGeneralTypeCount; ++i)
        addType(general, QString::fromStdString(GeneralTypes()[i].Name), GeneralCounts[i], ArtIcon(kGeneralTypeArt[i]));

    auto* raw = new QTreeWidgetItem(TreeView1, {Tr("ftype_raw")});
    raw->setIcon(0, ArtIcon("root_raw"));
    raw->setFlags(Qt::ItemIsEnabled);
    for (std::size_t i = 0; i < kMakerTypeCount; ++i) {
        const TSupportedFileType& row = MakerTypes()[i];
        addType(raw, QString::fromStdString(row.MakerCaption + " (" + row.Extensions + ")"), MakerCounts[i],
                ArtIcon(kMakerArt[i]));
    }

    auto* phone = new QTreeWidgetItem(TreeView1, {Tr("ftype_phone")});
    phone->setIcon(0, ArtIcon("root_phone"));
    phone->setFlags(Qt::ItemIsEnabled);
    for (std::size_t i = 0; i < kPhoneTypeCount; ++i) {
        const TSupportedFileType& row = PhoneTypes()[i];
        addType(phone, QString::fromStdString(row.MakerCaption + " (" + row.Extensions + ")"), PhoneCounts[i],
                ArtIcon(kPhoneArt[i]));
    }
    TreeView1->expandAll();
}

void Tfrm_CustomizeRecovery::TranslateCaptions() {
    TTranslationsSession session;
    const TFormComponent components[] = {
        {"btn_recover", TComponentKind::ToolButton}, {"btn_exit", TComponentKind::ToolButton},
        {"mnu_photo", TComponentKind::MenuItem},     {"mnu_recover", TComponentKind::MenuItem},
        {"mnu_exit", TComponentKind::MenuItem},      {"Recover1", TComponentKind::MenuItem},
    };
    const auto setCaption = [this](std::size_t index, const std::string& caption) {
        const QString text = DisplayText(caption);
        switch (index) {
        case 0: acRecover->setText(text); break;
        case 1: btn_exit->defaultAction()->setText(text); break;
        case 2: mnu_photo->setTitle(text); break;
        case 3: mnu_recover->setText(text); break;
        case 4: mnu_exit->setText(text); break;
        default: Recover1->setText(text); break;
        }
    };
    TranslateForm(CurrentLanguage(), "frm_CustomizeRecovery", components, setCaption,
                  [this](const std::string& title) { setWindowTitle(DisplayText(title)); });
    PageControl1->setTabText(0, Tr("tab_preview"));
    PageControl1->setTabText(1, Tr("tab_properties"));
    Image2->setToolTip(Tr("hint_enlarge"));
}

void Tfrm_CustomizeRecovery::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous())
        TranslateCaptions();
    PlaceEnlargeButton();
}

// ---- pages of thumbnails ----------------------------------------------------------------------

void Tfrm_CustomizeRecovery::TreeView1Change() {
    QTreeWidgetItem* node = TreeView1->selectedItems().value(0);
    if (!node)
        return;
    if (loading_) {
        // Never a second load inside the first: the running one stops after its current
        // thumbnail and this node's page follows.
        pendingNode_ = node;
        pendingLoad_ = true;
        cancelLoad_ = true;
        return;
    }
    LoadPage(node);
    while (pendingLoad_ && !closeRequested_) {
        pendingLoad_ = false;
        LoadPage(pendingNode_);
    }
    pendingLoad_ = false;
    FinishWork();
}

void Tfrm_CustomizeRecovery::LoadPage(QTreeWidgetItem* node) {
    if (!node || !node->parent() || node->childCount() > 0)
        return;
    QTreeWidgetItem* typeNode = node->parent()->parent() ? node->parent() : node;
    QTreeWidgetItem* root = typeNode->parent();
    const int typeIndex = root->indexOfChild(typeNode);
    const std::int32_t pageStart = typeNode == node ? 0 : typeNode->indexOfChild(node) * pageSize_;
    const int rootIndex = TreeView1->indexOfTopLevelItem(root);
    root_ = rootIndex == 0 ? TTreeRoot::General : rootIndex == 1 ? TTreeRoot::Raw : TTreeRoot::Phone;
    LoadThumbnails(static_cast<std::uint8_t>(typeIndex), pageStart);
}

void Tfrm_CustomizeRecovery::LoadThumbnails(std::uint8_t typeIndex, std::int32_t pageStart) {
    loading_ = true;
    cancelLoad_ = false;
    pump_.Reset();
    // The list shows the page only when it is complete. What the pane and the status bar showed
    // belongs to a file of the last page: it goes with it.
    ListView1->setUpdatesEnabled(false);
    ListView1->clear();
    ClearShownFile();
    selectedTypeIndex_ = typeIndex;
    TFoundFileList& files = engine_.FoundFiles;
    const TTreeRoot root = root_;
    std::sort(files.begin(), files.end(), [root, typeIndex](const TFoundFile& a, const TFoundFile& b) {
        return CompareForPage(a, b, root, typeIndex) < 0;
    });
    std::int64_t count = 0;
    if (root == TTreeRoot::General && typeIndex < kGeneralTypeCount)
        count = GeneralCounts[typeIndex];
    else if (root == TTreeRoot::Raw && typeIndex < kMakerTypeCount)
        count = MakerCounts[typeIndex];
    else if (root == TTreeRoot::Phone && typeIndex < kPhoneTypeCount)
        count = PhoneCounts[typeIndex];
    // The counts come from the last scan; a list that holds fewer files than they say is
    // never read past its end.
    const std::int64_t last = std::min<std::int64_t>({static_cast<std::int64_t>(pageStart) + pageSize_ - 1, count - 1,
                                                      static_cast<std::int64_t>(files.size()) - 1});
    if (pageStart <= last) {
        std::int64_t total = 0;
        if (root != TTreeRoot::Raw) {
            total = std::min<std::int64_t>(pageSize_, count - pageStart);
        } else {
            total = 1;
            for (std::int64_t p = pageStart; p <= last; ++p)
                total += files[static_cast<std::size_t>(p)].ThumbLength != 0 ? 1 : 0;
        }
        TTranslationsSession session;
        TBusyDisplay display(StatusPanel0, StatusBarEx1->ProgressBar(), Tr("fw_loadingthumbnail"));
        std::int64_t n = 0;
        for (std::int64_t p = pageStart; p <= last; ++p) {
            pump_.ProcessMessages();
            if (cancelLoad_ || closeRequested_)
                break;
            TFoundFile& file = files[static_cast<std::size_t>(p)];
            if (!OnPagesOf(file, root, typeIndex))
                break;
            // Under the thumbnail: the file's original name where the card's file system kept it.
            const QString original = file.OriginalName.empty() ? QString() : OriginalNameShown(file).section(QLatin1Char('/'), -1);
            auto* item = new QListWidgetItem(noThumbnailIcon_, original.isEmpty() ? QString::fromStdString(Printable(file.Ext)) : original);
            item->setData(kListItemIndexRole, QVariant::fromValue<qulonglong>(static_cast<qulonglong>(p)));
            item->setToolTip(ThumbnailToolTip(file));
            item->setSizeHint(ListView1->gridSize() - QSize(4, 4)); // the name gets the cell's width
            ListView1->addItem(item);
            if (std::unique_ptr<TBitmap> thumb = engine_.MakeThumbnail(file))
                item->setIcon(QIcon(ToPixmap(*thumb)));
            ++n;
            StatusBarEx1->ProgressBar()->setValue(
                static_cast<int>(std::min<std::int64_t>(100, (n * 100 + total / 2) / std::max<std::int64_t>(total, 1))));
        }
        if (!cancelLoad_ && !closeRequested_) {
            StatusBarEx1->ProgressBar()->setValue(100);
            StatusBarEx1->ProgressBar()->repaint();
            QThread::msleep(200);
        }
    }
    ListView1->setUpdatesEnabled(true);
    loading_ = false;
    Q_EMIT PageLoaded();
}

// ---- recovery and closing -------------------------------------------------------------------

// The folder the selected files are recovered into, through the program's folder chooser; it
// opens where the user confirmed last time in this window, else in the home folder.
QString Tfrm_CustomizeRecovery::ChooseDirectory() {
    if (ChooseDirectoryOverride)
        return ChooseDirectoryOverride();
    TTranslationsSession session;
    TOpenDirDlg OpenDirDlg1(this);
    OpenDirDlg1.setObjectName(QStringLiteral("OpenDirDlg1"));
    OpenDirDlg1.SetTitle(Tr("dialog_directory"));
    OpenDirDlg1.SetDirectory(lastDirectory_.isEmpty() ? QDir::homePath() : lastDirectory_);
    if (!OpenDirDlg1.Execute())
        return {};
    lastDirectory_ = OpenDirDlg1.Directory();
    return lastDirectory_;
}

void Tfrm_CustomizeRecovery::acRecoverExecute() {
    if (Working())
        return;
    std::vector<std::size_t> indexes;
    for (QListWidgetItem* item : ListView1->selectedItems())
        indexes.push_back(static_cast<std::size_t>(item->data(kListItemIndexRole).toULongLong()));
    std::sort(indexes.begin(), indexes.end());
    if (indexes.empty()) {
        TTranslationsSession session;
        QMessageBox::information(this, QStringLiteral("Lumivore"), Tr("msg_noselection"));
        return;
    }
    const QString folder = ChooseDirectory();
    if (folder.isEmpty())
        return;
    {
        TTranslationsSession session;
        if (HoldsRecoveredFiles(folder.toStdString()) &&
            !AskYesNo(this, FillFormat(Tr("msg_folderhasrecovered"), QDir::toNativeSeparators(folder))))
            return;
    }

    TQtProgressBar progress(StatusBarEx1->ProgressBar());
    TRecoveryRequest request;
    request.Selection = TRecoverySelection::Files(indexes);
    request.Destination = folder.toStdString();
    request.Progress = &progress;
    TTranslationsSession session;
    const auto refuse = [this](const std::string& why) {
        QMessageBox::critical(this, QStringLiteral("Lumivore"),
                              Fill(Tr("msg_recoverrefused"), {QString::fromStdString(why)}));
    };
    std::string message;
    if (!CheckRecoveryDestination(engine_, request, message)) {
        refuse(message);
        return;
    }

    recovering_ = true;
    // Nothing may reorder or replace the records while recovery works through their indexes.
    TreeView1->setEnabled(false);
    ListView1->setEnabled(false);
    acRecover->setEnabled(false);
    mnu_recover->setEnabled(false);
    Recover1->setEnabled(false);
    TRecoveryResult result;
    {
        TBusyDisplay display(StatusPanel0, StatusBarEx1->ProgressBar(), Tr("fw_recovering"));
        engine_.StopRequested = false;
        engine_.MessagePump = &pump_;
        pump_.Reset();
        result = Recover(engine_, request);
        engine_.MessagePump = nullptr;
    }
    TreeView1->setEnabled(true);
    ListView1->setEnabled(true);
    acRecover->setEnabled(true);
    mnu_recover->setEnabled(true);
    Recover1->setEnabled(true);
    recovering_ = false;

    if (!result.Started) {
        refuse(result.Message);
    } else {
        const QLocale locale;
        QString summary = Fill(Tr("msg_previewsummary"), {locale.toString(result.Recovered),
                                                          locale.toString(result.Failed + result.Abandoned),
                                                          QString::fromStdString(request.Destination)});
        if (const QString notes = RecoveryNotes(result); !notes.isEmpty())
            summary += QStringLiteral("\n\n") + notes;
        if (result.Stopped)
            summary += QStringLiteral("\n") + Tr("msg_recoverystopped");
        QMessageBox::information(this, QStringLiteral("Lumivore"), summary);
    }
    Q_EMIT RecoveryFinished(result.Recovered, result.Failed + result.Abandoned);
    FinishWork();
}

void Tfrm_CustomizeRecovery::FinishWork() {
    if (closeRequested_ && !Working()) {
        closeRequested_ = false;
        done(QDialog::Rejected);
    }
}

void Tfrm_CustomizeRecovery::closeEvent(QCloseEvent* event) {
    if (Working()) {
        // The running page or recovery ends first (after its current file); the window then
        // closes by itself.
        closeRequested_ = true;
        cancelLoad_ = true;
        engine_.StopRequested = true;
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void Tfrm_CustomizeRecovery::reject() {
    if (Working()) {
        closeRequested_ = true;
        cancelLoad_ = true;
        engine_.StopRequested = true;
        return;
    }
    QDialog::reject();
}

} // namespace lumivore
