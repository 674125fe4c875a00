#include "ui/MainWindow.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <optional>

#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QStackedWidget>
#include <QTabBar>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "device/DeviceOpener.h"
#include "engine/FileTypes.h"
#include "engine/Recovery.h"
#include "engine/ScanRange.h"
#include "support/AppInfo.h"
#include "ui/AboutBox.h"
#include "ui/CustomizeRecovery.h"
#include "ui/DirDialog.h"
#include "ui/LinkLabel.h"
#include "ui/OptionsDialog.h"
#include "ui/UiSupport.h"

namespace lumivore {

namespace {

// The check list: the general group (rows 0 to 10), a spacer, the camera group (rows 12 to 25),
// a spacer, and the phone and video group (rows 27 to 34). Each group's header checks or
// unchecks its whole group.
constexpr int kGeneralHeaderRow = 0;
constexpr int kSpacerRow = 11;
constexpr int kRawHeaderRow = 12;
constexpr int kRawRowsEnd = kRawHeaderRow + 1 + static_cast<int>(kMakerTypeCount); // 26
constexpr int kPhoneSpacerRow = kRawRowsEnd;
constexpr int kPhoneHeaderRow = kPhoneSpacerRow + 1;
constexpr int kListRows = kPhoneHeaderRow + 1 + static_cast<int>(kPhoneTypeCount); // 35
const QColor kHeaderRowColour(255, 226, 128);

// The help page that explains each wizard step.
const char* const kHelpPages[] = {"drive.html",    "range.html",    "scan.html",   "preview.html",
                                  "filetype.html", "directory.htm", "recover.html"};

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, bool wrap = false) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setWordWrap(wrap);
    return label;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& text) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(name));
    return button;
}

QString ReadTrimmed(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.read(256)).trimmed();
}

// "29.7 GB" or "512.0 MB": a short size for the drive lists.
QString ShortSize(std::uint64_t bytes) {
    const double mb = static_cast<double>(bytes) / (1024.0 * 1024.0);
    if (mb >= 1000.0)
        return QLocale().toString(mb / 1024.0, 'f', 1) + QStringLiteral(" GB");
    return QLocale().toString(mb, 'f', 1) + QStringLiteral(" MB");
}

// The volume label of a partition, from the udev links in /dev/disk/by-label.
QString VolumeLabel(const std::string& devicePath) {
    const QDir dir(QStringLiteral("/dev/disk/by-label"));
    const QString target = QFileInfo(QString::fromStdString(devicePath)).canonicalFilePath();
    if (target.isEmpty())
        return {};
    for (const QFileInfo& link : dir.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        if (link.canonicalFilePath() == target) {
            QString name = link.fileName();
            name.replace(QStringLiteral("\\x20"), QStringLiteral(" "));
            return name;
        }
    }
    return {};
}

// The model a disk states in sysfs; for a partition, the model of its disk.
QString DiskModel(const std::string& sysRoot, const std::string& name) {
    const QString sys = QString::fromStdString(sysRoot);
    const QString blockDir = QFileInfo(sys + QStringLiteral("/class/block/") + QString::fromStdString(name)).canonicalFilePath();
    for (const QString& candidate : {blockDir + QStringLiteral("/device/model"), blockDir + QStringLiteral("/../device/model")}) {
        const QString model = ReadTrimmed(candidate);
        if (!model.isEmpty())
            return model;
    }
    return {};
}

bool LacksRights(const TDeviceEntry& entry) {
    if (entry.IsImage)
        return false;
    if (::access(entry.Path.c_str(), R_OK) == 0)
        return false;
    return errno == EACCES || errno == EPERM;
}

QString KindText(std::uint16_t kind, bool& known) {
    known = true;
    switch (kind) {
    case kKindUnknown: return Tr("devicetype_unknown");
    case kKindFloppy: return Tr("devicetype_floppy");
    case kKindRemovable: return Tr("devicetype_removable");
    case kKindFixed: return Tr("devicetype_fixed");
    case kKindCdRom: return Tr("devicetype_cdrom");
    default: known = false; return {};
    }
}

// The scan bar's hook. The walk over the device only moves the bar forward; the pass that puts
// photos in pieces back together after it starts again from the left. The first step back is
// where that pass begins, and the window names it under the bar.
class TScanProgress final : public TProgressBar {
  public:
    TScanProgress(QProgressBar* bar, std::function<void()> passBegins)
        : bar_(bar), passBegins_(std::move(passBegins)) {}
    // Before each scan.
    void Begin() {
        last_ = -1;
        restarted_ = false;
    }
    void SetPosition(int position) override {
        if (!restarted_ && last_ > 0 && position < last_) {
            restarted_ = true;
            passBegins_();
        }
        last_ = position;
        bar_.SetPosition(position);
    }

  private:
    TQtProgressBar bar_;
    std::function<void()> passBegins_;
    int last_ = -1;
    bool restarted_ = false;
};

} // namespace

// ---------------------------------------------------------------- construction

Tfrm_main::Tfrm_main(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("frm_main"));
    setWindowFlags(Qt::Window | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    if (!IsSupportedPlatform())
        ShowError(this, Tr("msg_notsupportos"));

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);
    root->addWidget(BuildHeader());

    Notebook1 = new QStackedWidget(this);
    Notebook1->setObjectName(QStringLiteral("Notebook1"));
    Notebook1->addWidget(BuildDrivePage());
    Notebook1->addWidget(BuildRangePage());
    Notebook1->addWidget(BuildScanPage());
    Notebook1->addWidget(BuildDetailsPage());
    Notebook1->addWidget(BuildFileTypePage());
    Notebook1->addWidget(BuildDirectoryPage());
    Notebook1->addWidget(BuildRecoverPage());
    root->addWidget(Notebook1, 1);

    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    root->addWidget(line);

    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(10, 8, 10, 10);
    btn_help = MakeButton(this, "btn_help", QStringLiteral("Help"));
    btn_options = MakeButton(this, "btn_options", QStringLiteral("Options"));
    btn_prior = MakeButton(this, "btn_prior", QStringLiteral("Back"));
    btn_next = MakeButton(this, "btn_next", QStringLiteral("Next"));
    btn_exit = MakeButton(this, "btn_exit", QStringLiteral("Exit"));
    btn_next->setDefault(true);
    btn_prior->setEnabled(false);
    buttons->addWidget(btn_help);
    buttons->addWidget(btn_options);
    buttons->addStretch(1);
    buttons->addWidget(btn_prior);
    buttons->addWidget(btn_next);
    buttons->addSpacing(12);
    buttons->addWidget(btn_exit);
    root->addLayout(buttons);

    // The action list: Exit with Ctrl+X, Help, Options, Scan.
    auto* doExit = new QAction(this);
    doExit->setObjectName(QStringLiteral("DoExit"));
    doExit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_X));
    doExit->setShortcutContext(Qt::WindowShortcut);
    addAction(doExit);
    connect(doExit, &QAction::triggered, this, &Tfrm_main::DoExitExecute);
    connect(btn_exit, &QPushButton::clicked, this, &Tfrm_main::DoExitExecute);
    connect(btn_help, &QPushButton::clicked, this, &Tfrm_main::DoHelpExecute);
    connect(btn_options, &QPushButton::clicked, this, &Tfrm_main::DoOptionsExecute);
    connect(btn_next, &QPushButton::clicked, this, &Tfrm_main::SpeedButton1Click);
    connect(btn_prior, &QPushButton::clicked, this, &Tfrm_main::SpeedButton7Click);

    engine_ = std::make_unique<TScanEngine>();
    progress1_ = std::make_unique<TScanProgress>(ProgressBar1, [this] {
        // Only a scan of this window's own, which has not been stopped.
        if (scanCounters_[0] == nullptr || stopAsked_)
            return;
        // The walk is over: its last counts are shown now, not some tens of milliseconds old
        // for as long as the pass takes.
        for (TQtCounterLabel* counter : scanCounters_)
            if (counter != nullptr)
                counter->Flush();
        SetScanState(TScanState::PiecesPass);
    });
    progress2_ = std::make_unique<TQtProgressBar>(ProgressBar2);
    engine_->ProgressBar = progress1_.get();
    engine_->MessagePump = &pump_;

    FillLogicalDrives(0);
    DriveComboBox1Change(false);

    Notebook1->setCurrentIndex(PageDrive);
    RefreshTexts();
}

Tfrm_main::~Tfrm_main() = default;

QWidget* Tfrm_main::BuildHeader() {
    auto* header = new QWidget(this);
    header->setObjectName(QStringLiteral("Header"));
    header->setAutoFillBackground(true);
    QPalette p = header->palette();
    p.setColor(QPalette::Window, Qt::white);
    header->setPalette(p);
    header->setFixedHeight(57);
    auto* layout = new QHBoxLayout(header);
    layout->setContentsMargins(8, 4, 8, 4);
    auto* banner = new QLabel(header);
    banner->setObjectName(QStringLiteral("Image1"));
    banner->setPixmap(SvgPixmap(QStringLiteral(":/art/banner.svg"), QSize(240, 48)));
    auto* logo = new QLabel(header);
    logo->setObjectName(QStringLiteral("Image3"));
    logo->setPixmap(SvgPixmap(QStringLiteral(":/art/logo.svg"), QSize(48, 48)));
    layout->addWidget(banner);
    layout->addStretch(1);
    layout->addWidget(logo);
    return header;
}

QWidget* Tfrm_main::BuildPage(int index, const char* headingName, QWidget* content, const char* descName,
                              const QString& picture) {
    static const char* const kPageNames[] = {"drive", "range", "scan", "details", "filetype", "directory", "recover"};
    auto* page = new QWidget;
    page->setObjectName(QLatin1String(kPageNames[index]));
    auto* outer = new QHBoxLayout(page);
    outer->setContentsMargins(14, 10, 10, 6);
    outer->setSpacing(12);
    auto* main = new QVBoxLayout;
    auto* heading = MakeLabel(page, headingName, QString());
    QFont bold = heading->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.15);
    heading->setFont(bold);
    heading->setWordWrap(true);
    main->addWidget(heading);
    main->addSpacing(6);
    content->setParent(page);
    main->addWidget(content, 1);
    outer->addLayout(main, 1);
    if (descName != nullptr) {
        auto* side = new QFrame(page);
        side->setObjectName(QStringLiteral("SidePanel%1").arg(index));
        side->setFrameShape(QFrame::StyledPanel);
        side->setFixedWidth(190);
        auto* sideLayout = new QVBoxLayout(side);
        auto* image = new QLabel(side);
        image->setAlignment(Qt::AlignHCenter);
        image->setPixmap(SvgPixmap(picture, QSize(72, 72)));
        sideLayout->addWidget(image);
        auto* desc = MakeLabel(side, descName, QString(), true);
        desc->setAlignment(Qt::AlignTop | Qt::AlignLeft);
        sideLayout->addWidget(desc, 1);
        if (index == PageDrive) {
            auto* about = new TLinkLabel(side);
            about->setObjectName(QStringLiteral("lbl_about"));
            connect(about, &TLinkLabel::Clicked, this, &Tfrm_main::btn_optionsClick);
            sideLayout->addWidget(about);
        } else if (index == PageDirectory) {
            auto* more = new TLinkLabel(side);
            more->setObjectName(QStringLiteral("lbl_more"));
            connect(more, &TLinkLabel::Clicked, this, &Tfrm_main::lbl_moreClick);
            sideLayout->addWidget(more);
        }
        outer->addWidget(side);
    }
    return page;
}

QWidget* Tfrm_main::BuildDrivePage() {
    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);

    TabSet1 = new QTabBar(content);
    TabSet1->setObjectName(QStringLiteral("TabSet1"));
    TabSet1->addTab(QString());
    TabSet1->addTab(QString());
    TabSet1->setExpanding(false);
    layout->addWidget(TabSet1);

    Notebook2 = new QStackedWidget(content);
    Notebook2->setObjectName(QStringLiteral("Notebook2"));
    Notebook2->setAutoFillBackground(true);

    auto* logical = new QWidget;
    logical->setObjectName(QStringLiteral("Logical drives"));
    auto* logicalLayout = new QHBoxLayout(logical);
    logicalLayout->setContentsMargins(0, 6, 0, 6);
    DriveComboBox1 = new QComboBox(logical);
    DriveComboBox1->setObjectName(QStringLiteral("DriveComboBox1"));
    DriveComboBox1->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    DriveComboBox1->setMinimumContentsLength(16);
    btn_openimage = MakeButton(logical, "btn_openimage", QString());
    logicalLayout->addWidget(DriveComboBox1, 1);
    logicalLayout->addWidget(btn_openimage);
    Notebook2->addWidget(logical);

    auto* physical = new QWidget;
    physical->setObjectName(QStringLiteral("Physical drives"));
    auto* physicalLayout = new QVBoxLayout(physical);
    physicalLayout->setContentsMargins(0, 6, 0, 0);
    DriveComboBox2 = new QComboBox(physical);
    DriveComboBox2->setObjectName(QStringLiteral("DriveComboBox2"));
    Label30 = MakeLabel(physical, "Label30", QString());
    Label30->setTextInteractionFlags(Qt::TextSelectableByMouse);
    physicalLayout->addWidget(DriveComboBox2);
    physicalLayout->addWidget(Label30);
    Notebook2->addWidget(physical);
    layout->addWidget(Notebook2);

    auto* facts = new QGridLayout;
    facts->setHorizontalSpacing(16);
    facts->addWidget(MakeLabel(content, "lbl_devicetype", QString()), 0, 0);
    facts->addWidget(MakeLabel(content, "lbl_devicesize", QString()), 0, 1);
    facts->addWidget(MakeLabel(content, "lbl_devicestate", QString()), 0, 2);
    Label3 = MakeLabel(content, "Label3", QString());
    Label5 = MakeLabel(content, "Label5", QString());
    Label7 = MakeLabel(content, "Label7", QString());
    for (QLabel* value : {Label3, Label5, Label7}) {
        QFont f = value->font();
        f.setBold(true);
        value->setFont(f);
    }
    facts->addWidget(Label3, 1, 0);
    facts->addWidget(Label5, 1, 1);
    facts->addWidget(Label7, 1, 2);
    layout->addSpacing(8);
    layout->addLayout(facts);

    lbl_norights = MakeLabel(content, "lbl_norights", QString(), true);
    lbl_norights->setVisible(false);
    // Why neither list offers a device, device by device; filled by ShowDeviceNotice.
    lbl_nodevices = MakeLabel(content, "Label31", QString(), true);
    lbl_nodevices->setTextFormat(Qt::PlainText);
    lbl_nodevices->setVisible(false);
    layout->addSpacing(6);
    layout->addWidget(lbl_nodevices);
    layout->addWidget(lbl_norights);
    layout->addStretch(1);

    connect(TabSet1, &QTabBar::currentChanged, Notebook2, &QStackedWidget::setCurrentIndex);
    connect(Notebook2, &QStackedWidget::currentChanged, this, &Tfrm_main::Notebook2PageChanged);
    connect(DriveComboBox1, &QComboBox::currentIndexChanged, this, [this] { DriveComboBox1Change(false); });
    connect(DriveComboBox2, &QComboBox::currentIndexChanged, this, [this] { DriveComboBox1Change(true); });
    connect(btn_openimage, &QPushButton::clicked, this, &Tfrm_main::OpenImageClick);
    return BuildPage(PageDrive, "lbl_step1", content, "desc_step1", QStringLiteral(":/art/page-drive.svg"));
}

QWidget* Tfrm_main::BuildRangePage() {
    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    const auto group = [content](const char* name, QSlider*& slider, QLineEdit*& edit, const char* editName,
                                 const char* unitName) {
        auto* box = new QGroupBox(content);
        box->setObjectName(QLatin1String(name));
        auto* grid = new QGridLayout(box);
        slider = new QSlider(Qt::Horizontal, box);
        slider->setObjectName(QLatin1String(name) == QLatin1String("range_start") ? QStringLiteral("trackbar1")
                                                                                  : QStringLiteral("trackbar2"));
        slider->setTickPosition(QSlider::TicksBelow);
        edit = new QLineEdit(box);
        edit->setObjectName(QLatin1String(editName));
        edit->setMaximumWidth(110);
        grid->addWidget(slider, 0, 0, 1, 3);
        grid->addWidget(edit, 1, 0);
        grid->addWidget(MakeLabel(box, unitName, QStringLiteral("MB")), 1, 1);
        grid->setColumnStretch(2, 1);
        // The group's mnemonic and Tab lead to the field first, where a figure is typed.
        QWidget::setTabOrder(edit, slider);
        return box;
    };
    range_start = group("range_start", trackbar1, Edit2, "Edit2", "Label28");
    range_end = group("range_end", trackbar2, Edit3, "Edit3", "Label29");
    Edit2->setText(QStringLiteral("0"));
    layout->addWidget(range_start);
    layout->addWidget(range_end);
    layout->addStretch(1);
    connect(trackbar1, &QSlider::valueChanged, this, [this](int v) { Edit2->setText(QString::number(SliderMegabytes(v))); });
    connect(trackbar2, &QSlider::valueChanged, this, [this](int v) { Edit3->setText(QString::number(SliderMegabytes(v))); });
    connect(Edit2, &QLineEdit::textEdited, this, [this](const QString& text) { FollowTypedValue(trackbar1, text); });
    connect(Edit3, &QLineEdit::textEdited, this, [this](const QString& text) { FollowTypedValue(trackbar2, text); });
    return BuildPage(PageRange, "lbl_step2", content, "desc_step2", QStringLiteral(":/art/page-range.svg"));
}

QWidget* Tfrm_main::BuildScanPage() {
    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* grid = new QGridLayout;
    grid->setColumnStretch(2, 1);
    const auto row = [&](int r, const char* caption, const char* valueName) {
        grid->addWidget(MakeLabel(content, caption, QString()), r, 0);
        auto* value = MakeLabel(content, valueName, QStringLiteral("0"));
        value->setMinimumWidth(120);
        grid->addWidget(value, r, 1);
        return value;
    };
    Label12 = row(0, "lbl_foundfiles", "Label12");
    Label14 = row(1, "lbl_sectorcount", "Label14");
    Label16 = row(2, "lbl_readerrors", "Label16");
    layout->addLayout(grid);
    layout->addSpacing(10);
    ProgressBar1 = new QProgressBar(content);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    layout->addWidget(ProgressBar1);
    Label17 = MakeLabel(content, "Label17", QString(), true);
    Label17->setTextFormat(Qt::PlainText);
    layout->addWidget(Label17);
    auto* buttons = new QHBoxLayout;
    btn_startscan = MakeButton(content, "btn_startscan", QString());
    btn_stopscan = MakeButton(content, "btn_stopscan", QString());
    btn_stopscan->setEnabled(false);
    buttons->addStretch(1);
    buttons->addWidget(btn_startscan);
    buttons->addWidget(btn_stopscan);
    layout->addLayout(buttons);
    layout->addStretch(1);
    connect(btn_startscan, &QPushButton::clicked, this, &Tfrm_main::DoScanExecute);
    connect(btn_stopscan, &QPushButton::clicked, this, &Tfrm_main::btn_stopscanClick);
    return BuildPage(PageScan, "lbl_step3", content, nullptr, {});
}

QWidget* Tfrm_main::BuildDetailsPage() {
    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* customize = MakeButton(content, "btn_customize", QString());
    auto* skip = MakeButton(content, "btn_skip", QString());
    for (QPushButton* b : {customize, skip})
        b->setMinimumWidth(120);
    layout->addWidget(MakeLabel(content, "lbl_customize", QString(), true));
    layout->addWidget(customize, 0, Qt::AlignLeft);
    layout->addSpacing(18);
    layout->addWidget(MakeLabel(content, "lbl_skip", QString(), true));
    layout->addWidget(skip, 0, Qt::AlignLeft);
    layout->addStretch(1);
    connect(customize, &QPushButton::clicked, this, &Tfrm_main::OpenPreview);
    connect(skip, &QPushButton::clicked, this, &Tfrm_main::SpeedButton1Click);
    return BuildPage(PageDetails, "lbl_step4", content, nullptr, {});
}

QWidget* Tfrm_main::BuildFileTypePage() {
    ListView1 = new QTreeWidget;
    ListView1->setObjectName(QStringLiteral("ListView1"));
    ListView1->setColumnCount(2);
    ListView1->setHeaderHidden(true);
    ListView1->setRootIsDecorated(false);
    ListView1->setSelectionMode(QAbstractItemView::NoSelection);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->setUniformRowHeights(true);
    // Tab reaches the list; the arrow keys move the focus frame from row to row and Space
    // toggles the row under it by the same rules as a click.
    ListView1->setFocusPolicy(Qt::StrongFocus);
    ListView1->setColumnWidth(0, 170);
    ListView1->header()->setStretchLastSection(true);
    ListView1->viewport()->installEventFilter(this);
    ListView1->installEventFilter(this);
    return BuildPage(PageFileType, "lbl_step5", ListView1, nullptr, {});
}

QWidget* Tfrm_main::BuildDirectoryPage() {
    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* row = new QHBoxLayout;
    Edit1 = new QLineEdit(content);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    auto* browse = new QToolButton(content);
    browse->setObjectName(QStringLiteral("xpButton11"));
    browse->setText(QStringLiteral("..."));
    row->addWidget(Edit1, 1);
    row->addWidget(browse);
    layout->addLayout(row);
    // Files that a folder entry or file record left on the card still names go into their
    // original folders under their original names; the rest keep the sector name.
    chk_originalnames = new QCheckBox(content);
    chk_originalnames->setObjectName(QStringLiteral("chk_originalnames"));
    layout->addWidget(chk_originalnames);
    layout->addStretch(1);
    connect(browse, &QToolButton::clicked, this, &Tfrm_main::SpeedButton6Click);
    return BuildPage(PageDirectory, "lbl_step6", content, "desc_step6", QStringLiteral(":/art/page-directory.svg"));
}

QWidget* Tfrm_main::BuildRecoverPage() {
    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* grid = new QGridLayout;
    grid->setColumnStretch(2, 1);
    grid->addWidget(MakeLabel(content, "lbl_recoveredfiles", QString()), 0, 0);
    grid->addWidget(MakeLabel(content, "lbl_failed", QString()), 1, 0);
    Label19 = MakeLabel(content, "Label19", QStringLiteral("0"));
    Label21 = MakeLabel(content, "Label21", QStringLiteral("0"));
    grid->addWidget(Label19, 0, 1);
    grid->addWidget(Label21, 1, 1);
    layout->addLayout(grid);
    layout->addSpacing(10);
    ProgressBar2 = new QProgressBar(content);
    ProgressBar2->setObjectName(QStringLiteral("ProgressBar2"));
    ProgressBar2->setRange(0, 100);
    ProgressBar2->setValue(0);
    layout->addWidget(ProgressBar2);
    auto* buttons = new QHBoxLayout;
    btn_startrecovery = MakeButton(content, "btn_startrecovery", QString());
    btn_stoprecovery = MakeButton(content, "btn_stoprecovery", QString());
    btn_stoprecovery->setEnabled(false);
    buttons->addStretch(1);
    buttons->addWidget(btn_startrecovery);
    buttons->addWidget(btn_stoprecovery);
    layout->addLayout(buttons);
    layout->addStretch(1);
    connect(btn_startrecovery, &QPushButton::clicked, this, &Tfrm_main::StartRecovery);
    connect(btn_stoprecovery, &QPushButton::clicked, this, &Tfrm_main::btn_stopscanClick);
    return BuildPage(PageRecover, "lbl_step7", content, nullptr, {});
}

// ---------------------------------------------------------------- showing and texts

void Tfrm_main::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shown_)
        return;
    shown_ = true;
    FillPhysicalDrives();
    DriveComboBox1Change(Notebook2->currentIndex() == 1);
    RefreshTexts();
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
        raise();
        activateWindow();
    }
}

void Tfrm_main::RefreshTexts() {
    TranslateWidget(this, objectName());
    rangeEndFormat_ = Tr("range_end");
    range_end->setTitle(FillFormat(rangeEndFormat_, static_cast<long long>(deviceMegabytes_)));
    BuildFileTypeList();
    chk_originalnames->setText(Tr("chk_originalnames"));
    TabSet1->setTabText(0, QLatin1Char(' ') + Tr("tab_logical") + QLatin1Char(' '));
    TabSet1->setTabText(1, QLatin1Char(' ') + Tr("tab_physical") + QLatin1Char(' '));
    Label7->setText(engine_->Drive.IsReady() ? Tr("devicestate_ready") : Tr("devicestate_notready"));
    // Kinds and the physical entries are texts of this window too.
    bool known = false;
    const QString kind = KindText(engine_->Drive.DriveCode != 0 ? engine_->Drive.Info.Kind : std::uint16_t{kKindUnknown}, known);
    if (known)
        Label3->setText(kind);
    const QString physicalFormat = Tr("devicename_physical");
    for (int i = 0; i < DriveComboBox2->count(); ++i)
        DriveComboBox2->setItemText(i, FillFormat(physicalFormat, DriveComboBox2->itemData(i).toInt() - kFirstPhysicalCode));
    rangeHintFormat_ = Tr("range_hint");
    Edit2->setToolTip(FillFormat(rangeHintFormat_, 0));
    Edit3->setToolTip(FillFormat(rangeHintFormat_, static_cast<long long>(deviceMegabytes_)));
    setWindowTitle(ProductTitle());
    ShowScanState();
    ShowDeviceNotice();
    FitToTexts();
}

void Tfrm_main::FitToTexts() {
    // The first column of the check list as wide as its longest name in this language.
    ListView1->resizeColumnToContents(0);
    ListView1->setColumnWidth(0, std::max(170, ListView1->columnWidth(0) + 8));
    // The window keeps the proportions of a 584 x 402 wizard and grows only where its texts
    // need the room; it is never resized by the user.
    FitFixedSize(this, QSize(584, 402));
}

// ---------------------------------------------------------------- devices

void Tfrm_main::FillLogicalDrives(std::uint8_t selectCode) {
    const QSignalBlocker block(DriveComboBox1);
    DriveComboBox1->clear();
    const TDeviceCatalogue& catalogue = TDeviceCatalogue::Instance();
    bool denied = false;
    for (const TDeviceEntry& entry : catalogue.Entries()) {
        // With an opener installed, a device the program cannot read itself is still offered.
        denied = denied || (!HasDeviceOpener() && LacksRights(entry));
        if (IsPhysicalCode(entry.Code) || entry.Code == 0)
            continue;
        std::uint64_t bytes = entry.SysfsBytes;
        QString detail;
        if (entry.IsImage) {
            bytes = static_cast<std::uint64_t>(QFileInfo(QString::fromStdString(entry.Path)).size());
        } else {
            detail = VolumeLabel(entry.Path);
            if (detail.isEmpty())
                detail = DiskModel(catalogue.SysRoot(), entry.Name);
        }
        QString text = QString::fromStdString(entry.Name) + QStringLiteral("  (");
        if (!detail.isEmpty())
            text += detail + QStringLiteral(", ");
        text += ShortSize(bytes) + QLatin1Char(')');
        DriveComboBox1->addItem(text, entry.Code);
        DriveComboBox1->setItemData(DriveComboBox1->count() - 1, QString::fromStdString(entry.Path), Qt::ToolTipRole);
        if (entry.Code == selectCode)
            DriveComboBox1->setCurrentIndex(DriveComboBox1->count() - 1);
    }
    listedDenied_ = denied;
    lbl_norights->setVisible(denied);
    ShowDeviceNotice();
}

void Tfrm_main::FillPhysicalDrives() {
    const QSignalBlocker block(DriveComboBox2);
    DriveComboBox2->clear();
    DriveComboBox2->setEnabled(!PhysicalDrives().empty());
    const QIcon glyph(SvgPixmap(QStringLiteral(":/art/hard.svg"), QSize(16, 16)));
    const QString format = Tr("devicename_physical");
    for (std::uint8_t code : PhysicalDrives())
        DriveComboBox2->addItem(glyph, FillFormat(format, code - kFirstPhysicalCode), code);
    if (DriveComboBox2->count() > 0)
        DriveComboBox2->setCurrentIndex(0);
    ShowDeviceNotice();
}

void Tfrm_main::ShowDeviceNotice() {
    if (DriveComboBox1->count() > 0 || DriveComboBox2->count() > 0) {
        lbl_nodevices->setVisible(false);
        return;
    }
    // Nothing to choose: say for every device why it cannot be read, as lumivore-cli devices
    // does, without asking for a password for each.
    const TDeviceOpenerPause noPasswordPerDevice;
    QStringList lines;
    bool rights = false;
    for (const TDeviceEntry& entry : TDeviceCatalogue::Instance().Entries()) {
        if (entry.IsImage)
            continue;
        TDrive drive;
        drive.Open(entry.Code);
        if (drive.DriveCode == entry.Code)
            continue;
        const int error = drive.OpenError;
        rights = rights || error == EACCES || error == EPERM;
        lines << QString::fromStdString(entry.Path) + QStringLiteral(": ") +
                     (error != 0 ? QString::fromLocal8Bit(std::strerror(error)) : Tr("devicestate_notready"));
    }
    constexpr qsizetype kMostLines = 6;
    if (lines.size() > kMostLines) {
        lines.resize(kMostLines);
        lines << QStringLiteral("...");
    }
    lbl_nodevices->setText(lines.isEmpty() ? Tr("msg_nodevicesfound")
                                           : Tr("msg_nodevices") + QLatin1Char('\n') + lines.join(QLatin1Char('\n')));
    lbl_nodevices->setVisible(true);
    if (rights)
        lbl_norights->setVisible(true);
    listedDenied_ = listedDenied_ || rights;
}

void Tfrm_main::DriveComboBox1Change(bool physical) {
    std::uint8_t code = 0;
    if (physical) {
        if (DriveComboBox2->count() == 0)
            return;
        code = static_cast<std::uint8_t>(DriveComboBox2->currentData().toInt());
        const TDeviceEntry* entry = TDeviceCatalogue::Instance().Find(code);
        QString info;
        if (entry != nullptr) {
            info = QString::fromStdString(entry->Path);
            const QString model = DiskModel(TDeviceCatalogue::Instance().SysRoot(), entry->Name);
            if (!model.isEmpty())
                info += QStringLiteral("  ") + model;
        }
        Label30->setText(info);
    } else {
        code = static_cast<std::uint8_t>(DriveComboBox1->currentData().toInt());
    }
    scanned_ = false;
    SetScanState(TScanState::None);
    const QString ready = Tr("devicestate_ready");
    const QString notReady = Tr("devicestate_notready");
    if (engine_->OpenDrive(code)) {
        bool known = false;
        const QString kind = KindText(engine_->Drive.Info.Kind, known);
        if (known)
            Label3->setText(kind);
        const double mb = static_cast<double>(engine_->Drive.Info.TotalSectors) / 2048.0;
        if (mb >= 1000.0)
            Label5->setText(QLocale().toString(mb / 1024.0, 'f', 2) + QStringLiteral(" GB"));
        else
            Label5->setText(QLocale().toString(mb, 'f', 2) + QStringLiteral(" MB"));
        Label7->setText(engine_->Drive.IsReady() ? ready : notReady);
    } else {
        bool known = false;
        Label3->setText(KindText(kKindUnknown, known));
        Label5->setText(QStringLiteral("0"));
        Label7->setText(notReady);
    }
    const int error = engine_->Drive.OpenError;
    lbl_norights->setVisible(listedDenied_ || error == EACCES || error == EPERM);
}

void Tfrm_main::Notebook2PageChanged(int index) { DriveComboBox1Change(index == 1); }

bool Tfrm_main::OpenImage(const QString& path) {
    TDeviceCatalogue& catalogue = TDeviceCatalogue::Instance();
    const std::string file = QFileInfo(path).absoluteFilePath().toStdString();
    std::uint8_t code = catalogue.CodeForPath(file);
    if (code == 0 || IsPhysicalCode(code)) {
        const QFileInfo info(path);
        code = (info.isFile() && info.isReadable() && info.size() > 0) ? catalogue.RegisterImage(file) : 0;
    }
    if (code == 0) {
        ShowError(this, FillFormat(Tr("msg_openimagefailed"), path));
        return false;
    }
    FillLogicalDrives(code);
    if (TabSet1->currentIndex() != 0)
        TabSet1->setCurrentIndex(0); // shows the logical page, which selects the drive
    DriveComboBox1Change(false);
    return true;
}

void Tfrm_main::OpenImageClick() {
    const QString path = QFileDialog::getOpenFileName(this, Tr("dialog_openimage"), QDir::homePath(),
                                                      Tr("dialog_imagefilter"));
    if (!path.isEmpty())
        OpenImage(path);
}

// ---------------------------------------------------------------- range

std::int64_t RangeSliderUnit(std::int64_t deviceMegabytes) {
    return deviceMegabytes <= INT_MAX ? 1 : deviceMegabytes / INT_MAX + (deviceMegabytes % INT_MAX != 0 ? 1 : 0);
}

qlonglong Tfrm_main::SliderMegabytes(int position) const {
    // The last step of a coarse slider ends at the device's end, not past it.
    return static_cast<qlonglong>(std::min<std::int64_t>(std::int64_t{position} * sliderUnit_, deviceMegabytes_));
}

void Tfrm_main::FollowTypedValue(QSlider* slider, const QString& text) {
    bool ok = false;
    const qlonglong megabytes = text.trimmed().toLongLong(&ok);
    if (!ok || megabytes < 0)
        return; // the check on Next says what is wrong with it
    const std::int64_t within = std::min<std::int64_t>(megabytes, deviceMegabytes_);
    const QSignalBlocker keepTheField(slider);
    slider->setValue(static_cast<int>(within / sliderUnit_));
}

void Tfrm_main::SetTrackBar(std::int64_t totalSectors) {
    deviceMegabytes_ = DeviceMegabytes(totalSectors);
    sliderUnit_ = RangeSliderUnit(deviceMegabytes_);
    const int maximum = static_cast<int>(deviceMegabytes_ / sliderUnit_ + (deviceMegabytes_ % sliderUnit_ != 0 ? 1 : 0));
    const int frequency = std::max(1, maximum / 40);
    for (QSlider* slider : {trackbar1, trackbar2}) {
        const QSignalBlocker block(slider);
        slider->setRange(0, maximum);
        slider->setTickInterval(frequency);
        slider->setPageStep(frequency);
        slider->setSingleStep(std::max(1, frequency / 10));
    }
    // Leaving the device page always starts the range from the whole device, fields included.
    trackbar1->setValue(0);
    trackbar2->setValue(maximum);
    Edit2->setText(QString::number(0));
    Edit3->setText(QString::number(deviceMegabytes_));
    range_end->setTitle(FillFormat(rangeEndFormat_, static_cast<long long>(deviceMegabytes_)));
    Edit2->setToolTip(FillFormat(rangeHintFormat_, 0));
    Edit3->setToolTip(FillFormat(rangeHintFormat_, static_cast<long long>(deviceMegabytes_)));
}

bool Tfrm_main::ValidateRange() {
    std::optional<std::int64_t> values[2];
    QLineEdit* const fields[2] = {Edit2, Edit3};
    for (int i = 0; i < 2; ++i) {
        const QString text = fields[i]->text().trimmed();
        if (text.isEmpty())
            continue;
        bool ok = false;
        const qlonglong value = text.toLongLong(&ok);
        if (!ok) {
            ShowError(this, FillFormat(Tr("msg_notinteger"), fields[i]->text()));
            fields[i]->setFocus();
            return false;
        }
        values[i] = value;
    }
    TScanRange range;
    switch (lumivore::ValidateRange(engine_->Drive.Info.TotalSectors, values[0], values[1], range)) {
    case TRangeResult::BeyondDevice:
        ShowError(this, Tr("msg_exceed"));
        return false;
    case TRangeResult::OutOfRange:
        ShowError(this, Tr("msg_rangeoutofrange"));
        return false;
    case TRangeResult::Ok:
        break;
    }
    scanStart_ = range.Start;
    scanLength_ = range.Length;
    return true;
}

// ---------------------------------------------------------------- page moves

int Tfrm_main::PageIndex() const { return Notebook1->currentIndex(); }

void Tfrm_main::Advance() {
    const int index = Notebook1->currentIndex();
    if (index >= PageRecover)
        return;
    Notebook1->setCurrentIndex(index + 1);
    SetButtonEnabled(btn_prior, true);
    if (index + 1 == PageRecover)
        SetButtonEnabled(btn_next, false);
    FocusPage();
}

void Tfrm_main::FocusPage() {
    // Skip, which had the focus, is hidden with its page, and Tab from Next leads to Exit: the
    // keyboard starts where the page's work is. Space then ticks a row, Enter still goes on.
    switch (Notebook1->currentIndex()) {
    case PageFileType:
        if (ListView1->currentItem() == nullptr)
            ListView1->setCurrentItem(ListView1->topLevelItem(0), 0, QItemSelectionModel::NoUpdate);
        ListView1->setFocus(Qt::OtherFocusReason);
        break;
    case PageDirectory:
        Edit1->setFocus(Qt::OtherFocusReason);
        break;
    default:
        break;
    }
}

void Tfrm_main::SpeedButton1Click() {
    switch (Notebook1->currentIndex()) {
    case PageDrive:
        SetTrackBar(engine_->Drive.Info.TotalSectors);
        Advance();
        break;
    case PageRange:
        if (!ValidateRange())
            return;
        if (scanned_ && scanStart_ == scannedStart_ && scanLength_ == scannedLength_) {
            Advance();
        } else {
            // Not scanned yet, or the range changed since: the files found belong to another
            // range and are dropped; this one is scanned at once.
            if (scanned_) {
                scanned_ = false;
                engine_->ClearFoundFiles();
                engine_->CountByType();
                for (QLabel* counter : {Label12, Label14, Label16})
                    counter->setText(QStringLiteral("0"));
                ProgressBar1->setValue(0);
                SetScanState(TScanState::None);
            }
            Notebook1->setCurrentIndex(PageScan);
            SetButtonEnabled(btn_prior, true);
            DoScanExecute();
        }
        break;
    case PageDirectory:
        if (scanned_ && AnyTypeChecked()) {
            // The destination is settled before the page moves on: an empty field, a folder to
            // create or one that holds earlier results keep the user here.
            confirmedFor_ = ConfirmedDestination();
            if (confirmedFor_.isEmpty())
                return;
            Notebook1->setCurrentIndex(PageRecover);
            SetButtonEnabled(btn_prior, true);
            SetButtonEnabled(btn_next, false);
            StartRecovery();
        } else {
            Advance();
        }
        break;
    default:
        Advance();
        break;
    }
}

void Tfrm_main::SpeedButton7Click() {
    const int index = Notebook1->currentIndex();
    if (index <= 0)
        return;
    Notebook1->setCurrentIndex(index - 1);
    SetButtonEnabled(btn_next, true);
    if (index - 1 == 0)
        SetButtonEnabled(btn_prior, false);
    FocusPage();
}

// ---------------------------------------------------------------- scan

void Tfrm_main::SetBusyButtons(bool busy) {
    busyButtons_ = busy;
    // Stop first, so that the focus of a button being disabled can go there.
    SetButtonEnabled(btn_stopscan, busy);
    SetButtonEnabled(btn_stoprecovery, busy);
    SetButtonEnabled(btn_prior, !busy && Notebook1->currentIndex() > 0);
    SetButtonEnabled(btn_next, !busy && Notebook1->currentIndex() < PageRecover);
    SetButtonEnabled(btn_startscan, !busy);
    SetButtonEnabled(btn_startrecovery, !busy);
    SetButtonEnabled(btn_options, !busy);
    SetButtonEnabled(btn_openimage, !busy);
}

QWidget* Tfrm_main::SafeFocus() const {
    const int page = Notebook1->currentIndex();
    if (busyButtons_) {
        if (page == PageScan && btn_stopscan->isEnabled())
            return btn_stopscan;
        if (page == PageRecover && btn_stoprecovery->isEnabled())
            return btn_stoprecovery;
    }
    if (btn_next->isEnabled())
        return btn_next;
    if (btn_prior->isEnabled())
        return btn_prior;
    if (page == PageRecover && btn_startrecovery->isEnabled())
        return btn_startrecovery;
    return Notebook1->currentWidget();
}

void Tfrm_main::SetButtonEnabled(QWidget* button, bool enabled) {
    if (enabled || !button->hasFocus()) {
        button->setEnabled(enabled);
        return;
    }
    // Qt would hand the focus to the next control in line, Exit after Next, where the next
    // Space or Enter would quit. The focus goes to the place the window's state calls for.
    button->setEnabled(false);
    QWidget* target = SafeFocus();
    if (target == button || !target->isEnabled())
        target = Notebook1->currentWidget();
    target->setFocus(Qt::OtherFocusReason);
}

void Tfrm_main::FinishLongOperation() {
    if (closePending_)
        QTimer::singleShot(0, this, &QWidget::close);
}

void Tfrm_main::DoScanExecute() {
    if (engine_->Busy || scanLength_ == 0)
        return;
    for (QLabel* counter : {Label12, Label14, Label16})
        counter->setText(QStringLiteral("0"));
    ProgressBar1->setValue(0);
    stopAsked_ = false;
    SetScanState(TScanState::None);
    SetBusyButtons(true);
    TQtCounterLabel found(Label12);
    TQtCounterLabel sectors(Label14);
    TQtCounterLabel errors(Label16);
    engine_->ProgressBar = progress1_.get();
    static_cast<TScanProgress*>(progress1_.get())->Begin();
    scanCounters_ = {&found, &sectors, &errors};
    pump_.Reset();
    ++scansRun_;
    try {
        engine_->Scan(scanStart_, scanLength_, &found, &sectors, &errors);
    } catch (...) {
        // The buttons come back and the scan counts as run, however it ended.
    }
    scanCounters_ = {};
    found.Flush();
    sectors.Flush();
    errors.Flush();
    // The engine rewinds its bar when it ends; the window shows how much of the range was
    // scanned: full after a whole scan, the share reached after Stop.
    const std::uint64_t handled = static_cast<std::uint64_t>(std::max<std::int64_t>(sectors.Value(), 0));
    ProgressBar1->setValue(static_cast<int>(std::min<std::uint64_t>(100, handled * 100 / scanLength_)));
    SetBusyButtons(false);
    scanned_ = true;
    scannedStart_ = scanStart_;
    scannedLength_ = scanLength_;
    SetScanState(stopAsked_ ? TScanState::Stopped : TScanState::Finished);
    // The next Space or Enter goes on with the wizard, never to Exit.
    SafeFocus()->setFocus(Qt::OtherFocusReason);
    FinishLongOperation();
}

void Tfrm_main::btn_stopscanClick() {
    if (engine_->Busy && Notebook1->currentIndex() == PageScan)
        stopAsked_ = true;
    engine_->StopScan();
}

void Tfrm_main::SetScanState(TScanState state) {
    scanState_ = state;
    ShowScanState();
}

void Tfrm_main::ShowScanState() {
    QStringList lines;
    if (scanState_ == TScanState::PiecesPass) {
        lines << Tr("scan_piecespass");
    } else if (scanState_ == TScanState::Finished || scanState_ == TScanState::Stopped) {
        // A stop ends the scan before the pass over photos in pieces (or in it): what was found
        // in pieces stays as it lies, and recovery writes it so.
        const TFragmentStats& pieces = engine_->FragmentStats;
        // Stopped in the pass itself, some photos were put back and the rest were not.
        if (scanState_ == TScanState::Stopped && engine_->ReassembleAfterScan)
            lines << Tr(pieces.Reassembled > 0 ? "scan_stoppedpiecespart" : "scan_stoppedpieces");
        if (pieces.Reassembled > 0)
            lines << CountText("scan_reassembled", static_cast<long long>(pieces.Reassembled));
        if (pieces.Incomplete > 0)
            lines << CountText("scan_incomplete", static_cast<long long>(pieces.Incomplete));
        if (engine_->RemnantStats.Named > 0)
            lines << CountText("scan_named", static_cast<long long>(engine_->RemnantStats.Named));
        // A whole range without a file is said here, before the user chooses types and a
        // folder for nothing.
        if (scanState_ == TScanState::Finished && engine_->FoundFiles.empty())
            lines << Tr("scan_nothing");
    }
    Label17->setText(lines.join(QLatin1Char('\n')));
    Label17->setVisible(!lines.isEmpty());
}

// ---------------------------------------------------------------- file-type list

void Tfrm_main::BuildFileTypeList() {
    ListView1->clear();
    const auto addRow = [this](const QString& first, const QString& second, bool checkable, bool header) {
        auto* item = new QTreeWidgetItem(ListView1, QStringList{first, second});
        // Marks change only through the mouse handler: the items are not user-checkable, so
        // neither a click on the box nor the space key changes them, and rows never highlight.
        item->setFlags(Qt::ItemIsEnabled);
        if (checkable)
            item->setCheckState(0, Qt::Unchecked);
        if (header) {
            item->setFirstColumnSpanned(true);
            for (int column = 0; column < 2; ++column)
                item->setBackground(column, kHeaderRowColour);
            QFont f = item->font(0);
            f.setBold(true);
            item->setFont(0, f);
        }
    };
    addRow(Tr("ftype_general"), QString(), true, true);
    for (const TSupportedFileType& type : GeneralTypes())
        addRow(QString::fromStdString(type.Name), QString::fromStdString(type.Extensions), true, false);
    addRow(QString(), QString(), false, false);
    addRow(Tr("ftype_raw"), QString(), true, true);
    for (const TSupportedFileType& type : MakerTypes())
        addRow(QString::fromStdString(type.MakerCaption), QString::fromStdString(type.Extensions), true, false);
    addRow(QString(), QString(), false, false);
    addRow(Tr("ftype_phone"), QString(), true, true);
    for (const TSupportedFileType& type : PhoneTypes())
        addRow(QString::fromStdString(type.MakerCaption), QString::fromStdString(type.Extensions), true, false);
}

bool Tfrm_main::eventFilter(QObject* watched, QEvent* event) {
    if (ListView1 != nullptr && watched == ListView1 && event->type() == QEvent::KeyPress) {
        // Space toggles the row with the focus frame, by the rules of a click; the list's own
        // handling of Space (which would select) is kept out.
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Space && key->modifiers() == Qt::NoModifier) {
            ListView1MouseDown(ListView1->currentItem());
            return true;
        }
    }
    if (ListView1 != nullptr && watched == ListView1->viewport()) {
        // Every press toggles (the second press of a double click arrives as a press too); the
        // list's own handling of presses and double clicks is kept out.
        if (event->type() == QEvent::MouseButtonPress) {
            const auto* mouse = static_cast<QMouseEvent*>(event);
            ListView1MouseDown(ListView1->itemAt(QPoint(5, mouse->position().toPoint().y())));
            return true;
        }
        if (event->type() == QEvent::MouseButtonDblClick)
            return true;
    }
    return QWidget::eventFilter(watched, event);
}

void Tfrm_main::ListView1MouseDown(QTreeWidgetItem* item) {
    if (item == nullptr)
        return;
    // The keyboard goes on from the row last clicked.
    ListView1->setCurrentItem(item, 0, QItemSelectionModel::NoUpdate);
    const int row = ListView1->indexOfTopLevelItem(item);
    const auto at = [this](int r) { return ListView1->topLevelItem(r); };
    const auto checked = [&](int r) { return at(r)->checkState(0) == Qt::Checked; };
    const auto set = [&](int r, bool on) { at(r)->setCheckState(0, on ? Qt::Checked : Qt::Unchecked); };
    if (row >= 1 && row <= 10) {
        set(row, !checked(row));
        set(kGeneralHeaderRow, false);
    } else if (row == kGeneralHeaderRow) {
        const bool on = !checked(kGeneralHeaderRow);
        for (int r = 0; r <= 10; ++r)
            set(r, on);
    } else if (row > kRawHeaderRow && row < kRawRowsEnd) {
        set(row, !checked(row));
        set(kRawHeaderRow, false);
    } else if (row == kRawHeaderRow) {
        const bool on = !checked(kRawHeaderRow);
        for (int r = kRawHeaderRow; r < kRawRowsEnd; ++r)
            set(r, on);
    } else if (row > kPhoneHeaderRow && row < kListRows) {
        set(row, !checked(row));
        set(kPhoneHeaderRow, false);
    } else if (row == kPhoneHeaderRow) {
        const bool on = !checked(kPhoneHeaderRow);
        for (int r = kPhoneHeaderRow; r < kListRows; ++r)
            set(r, on);
    }
    // The spacer rows 11 and 26 do nothing.
}

void Tfrm_main::keyPressEvent(QKeyEvent* event) {
    // Enter works as in a dialog: on a button with the focus it presses that button, anywhere
    // else (a range field, the check list, a drive list) it presses Next. Keys that a control
    // uses itself never arrive here.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier)) {
        QWidget* focus = QApplication::focusWidget();
        if (auto* button = qobject_cast<QAbstractButton*>(focus); button != nullptr && isAncestorOf(button)) {
            if (button->isEnabled())
                button->click();
        } else if (btn_next->isEnabled() && btn_next->isVisible()) {
            btn_next->click();
        }
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool Tfrm_main::AnyTypeChecked() const {
    for (int r = 1; r < kListRows; ++r)
        if (r != kSpacerRow && r != kRawHeaderRow && r != kPhoneSpacerRow && r != kPhoneHeaderRow &&
            ListView1->topLevelItem(r)->checkState(0) == Qt::Checked)
            return true;
    return false;
}

// ---------------------------------------------------------------- destination and recovery

void Tfrm_main::SpeedButton6Click() {
    TOpenDirDlg chooser(this);
    chooser.SetTitle(Tr("dialog_directory"));
    const QString current = Edit1->text().trimmed();
    chooser.SetDirectory(current.isEmpty() ? QDir::homePath() : current);
    if (chooser.Execute())
        Edit1->setText(chooser.Directory());
}

QString Tfrm_main::ConfirmedDestination() {
    const QString destination = Edit1->text().trimmed();
    if (destination.isEmpty()) {
        ShowError(this, Tr("msg_nodestination"));
        if (Notebook1->currentIndex() == PageDirectory)
            Edit1->setFocus(Qt::OtherFocusReason);
        return {};
    }
    const QFileInfo folder(destination);
    // A typed folder that does not exist is created with its parents only when the user says so.
    if (!folder.exists() && !AskYesNo(this, FillFormat(Tr("msg_createfolder"), QDir::toNativeSeparators(destination))))
        return {};
    // Recovering twice into one folder keeps both runs' files under numbered names; that is
    // asked first, so that a second Next or Recover does not do it unawares.
    if (folder.isDir() && HoldsRecoveredFiles(destination.toStdString()) &&
        !AskYesNo(this, FillFormat(Tr("msg_folderhasrecovered"), QDir::toNativeSeparators(destination))))
        return {};
    return destination;
}

void Tfrm_main::StartRecovery() {
    if (engine_->Busy)
        return;
    if (!scanned_) {
        ShowError(this, Tr("msg_noscan"));
        return;
    }
    std::array<bool, kGeneralTypeCount> general{};
    std::array<bool, kMakerTypeCount> makers{};
    std::array<bool, kPhoneTypeCount> phones{};
    bool any = false;
    for (std::size_t n = 0; n < kGeneralTypeCount; ++n)
        any |= general[n] = ListView1->topLevelItem(static_cast<int>(1 + n))->checkState(0) == Qt::Checked;
    for (std::size_t m = 0; m < kMakerTypeCount; ++m)
        any |= makers[m] = ListView1->topLevelItem(static_cast<int>(13 + m))->checkState(0) == Qt::Checked;
    for (std::size_t p = 0; p < kPhoneTypeCount; ++p)
        any |= phones[p] =
            ListView1->topLevelItem(kPhoneHeaderRow + 1 + static_cast<int>(p))->checkState(0) == Qt::Checked;
    if (!any) {
        ShowError(this, Tr("msg_notypes"));
        return;
    }
    // Next on the destination page has settled the folder just now; the Recover button has not.
    const QString destination = confirmedFor_.isEmpty() ? ConfirmedDestination() : confirmedFor_;
    confirmedFor_.clear();
    if (destination.isEmpty())
        return;
    TQtCounterLabel recovered(Label19);
    TQtCounterLabel failed(Label21);
    TRecoveryRequest request;
    request.Selection = TRecoverySelection::Types(general, makers, phones);
    request.Destination = destination.toStdString();
    request.OriginalNames = chk_originalnames->isChecked();
    request.Progress = progress2_.get();
    request.RecoveredLabel = &recovered;
    request.FailedLabel = &failed;
    Label19->setText(QStringLiteral("0"));
    Label21->setText(QStringLiteral("0"));
    ProgressBar2->setValue(0);
    SetBusyButtons(true);
    pump_.Reset();
    const TRecoveryResult result = Recover(*engine_, request);
    recovered.Flush(); // the counts are final before the summary asks
    failed.Flush();
    SetBusyButtons(false);
    SafeFocus()->setFocus(Qt::OtherFocusReason);
    if (!result.Started) {
        ShowError(this, Tr("msg_recoveryrefused") + QStringLiteral("\n\n") + QString::fromStdString(result.Message));
    } else if (!closePending_) {
        QString summary = FillFormat(FillFormat(Tr("msg_recoverysummary"), CountText("msg_recovered", result.Recovered)),
                                     CountText("msg_failed", result.Failed + result.Abandoned));
        // Photos in pieces: the user learns which were put back and which lack their rest, and
        // where failures are explained.
        if (const QString notes = RecoveryNotes(result); !notes.isEmpty())
            summary = notes + QStringLiteral("\n\n") + summary;
        if (result.Stopped && !result.Message.empty())
            summary = QString::fromStdString(result.Message) + QStringLiteral("\n\n") + summary;
        if (AskYesNo(this, summary))
            OpenUrlOrSay(this, QUrl::fromLocalFile(destination));
    }
    FinishLongOperation();
}

// ---------------------------------------------------------------- other windows

void Tfrm_main::DoHelpExecute() {
    const int page = std::clamp(Notebook1->currentIndex(), 0, int{PageRecover});
    OpenUrlOrSay(this, QUrl::fromLocalFile(HelpPage(QLatin1String(kHelpPages[page]))));
}

void Tfrm_main::lbl_moreClick() { OpenUrlOrSay(this, QUrl::fromLocalFile(HelpPage(QStringLiteral("directory.htm")))); }

void Tfrm_main::DoOptionsExecute() {
    if (engine_->Busy)
        return;
    Tfrm_Options options(*engine_, [this] { RefreshTexts(); }, this);
    options.setObjectName(QStringLiteral("frm_options"));
    options.exec();
}

void Tfrm_main::btn_optionsClick() {
    Tfrm_about about(this);
    about.exec();
}

void Tfrm_main::OpenPreview() {
    if (engine_->Busy)
        return;
    Tfrm_CustomizeRecovery::Execute(*engine_, this);
}

void Tfrm_main::DoExitExecute() {
    if (!engine_->Busy)
        close();
}

void Tfrm_main::closeEvent(QCloseEvent* event) {
    // A scan or recovery runs inside this window's event handling: stop it and close once it
    // has returned, so the engine is never destroyed under it.
    if (engine_->Busy) {
        closePending_ = true;
        engine_->StopScan();
        event->ignore();
        return;
    }
    event->accept();
}

} // namespace lumivore
