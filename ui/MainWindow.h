#pragma once
// The wizard main window: seven pages from choosing a device, through the scan range and the
// scan, to choosing file types and a destination and recovering. It owns the one scan engine of
// the run and turns the user's choices into calls of the core; every rule about devices,
// ranges and recovery stays in the core.

#include <array>
#include <cstdint>
#include <memory>

#include <QLabel>
#include <QProgressBar>
#include <QWidget>

#include "engine/ScanEngine.h"
#include "ui/QtHooks.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QSlider;
class QStackedWidget;
class QTabBar;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace lumivore {

// Megabytes one step of a range slider stands for on a device of that many megabytes: 1 while
// they fit an int, else the fewest that make the device fit the slider's int positions.
std::int64_t RangeSliderUnit(std::int64_t deviceMegabytes);

class Tfrm_main : public QWidget {
    Q_OBJECT
public:
    // Page indexes of the wizard.
    enum TPage { PageDrive = 0, PageRange, PageScan, PageDetails, PageFileType, PageDirectory, PageRecover };

    explicit Tfrm_main(QWidget* parent = nullptr);
    ~Tfrm_main() override;

    // The engine the preview window and the options dialog work on.
    TScanEngine& Engine() { return *engine_; }

    // Registers a disk image as a logical drive and makes it the current device. False (after
    // telling the user) when it cannot be read.
    bool OpenImage(const QString& path);

    // Re-applies every translated text and rebuilds the file-type list (all marks cleared).
    void RefreshTexts();

    int PageIndex() const;
    bool Scanned() const { return scanned_; }
    std::uint64_t ScanStart() const { return scanStart_; }
    std::uint64_t ScanLength() const { return scanLength_; }
    // Scans run since the window was made (each Scan, or Next onto a changed range).
    int ScansRun() const { return scansRun_; }

    // The preview window of the found files.
    void OpenPreview();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* BuildHeader();
    QWidget* BuildPage(int index, const char* headingName, QWidget* content, const char* descName,
                       const QString& picture);
    QWidget* BuildDrivePage();
    QWidget* BuildRangePage();
    QWidget* BuildScanPage();
    QWidget* BuildDetailsPage();
    QWidget* BuildFileTypePage();
    QWidget* BuildDirectoryPage();
    QWidget* BuildRecoverPage();

    void FillLogicalDrives(std::uint8_t selectCode);
    void FillPhysicalDrives();
    // When neither list offers a device, says why under the lists.
    void ShowDeviceNotice();
    void DriveComboBox1Change(bool physical);
    void Notebook2PageChanged(int index);
    void SetTrackBar(std::int64_t totalSectors);
    // Megabytes a range slider's position stands for.
    qlonglong SliderMegabytes(int position) const;
    // Moves a slider to a megabyte figure typed into its field, without rewriting the field.
    void FollowTypedValue(QSlider* slider, const QString& text);
    bool ValidateRange();
    void SpeedButton1Click(); // Next and Skip
    void SpeedButton7Click(); // Back
    void Advance();
    void DoScanExecute();
    void btn_stopscanClick();
    // The line under the scan bar: the pass over photos in pieces while it runs, then what the
    // work after the walk found (photos put back together or incomplete, names from the card's
    // file system), or that a stop left photos in pieces as they lie.
    enum class TScanState : std::uint8_t { None, PiecesPass, Finished, Stopped };
    void SetScanState(TScanState state);
    void ShowScanState();
    // Arriving on the file-type or destination page, the keyboard starts in the page's control.
    void FocusPage();
    void BuildFileTypeList();
    void ListView1MouseDown(QTreeWidgetItem* item);
    bool AnyTypeChecked() const;
    void SpeedButton6Click();
    // The destination in Edit1, once the user has agreed to its creation or to writing beside
    // files recovered earlier; empty (after telling the user) when recovery should not start.
    QString ConfirmedDestination();
    void DoHelpExecute();
    void lbl_moreClick();
    void DoOptionsExecute();
    void btn_optionsClick();
    void DoExitExecute();
    void StartRecovery();
    void OpenImageClick();
    void SetBusyButtons(bool busy);
    void FinishLongOperation();
    // Enables or disables a button; the keyboard focus leaves a button being disabled for a
    // safe place (SafeFocus), never the next button in line, which may be Exit.
    void SetButtonEnabled(QWidget* button, bool enabled);
    QWidget* SafeFocus() const;
    // The window's fixed size: the wizard's 584 x 402, or more where the texts need it.
    void FitToTexts();

    std::unique_ptr<TScanEngine> engine_;
    TQtMessagePump pump_;
    std::unique_ptr<TProgressBar> progress1_; // the scan bar, which also notices the pieces pass
    std::unique_ptr<TQtProgressBar> progress2_;

    bool scanned_ = false;
    TScanState scanState_ = TScanState::None;
    bool stopAsked_ = false;                         // Stop was pressed during the running scan
    std::array<TQtCounterLabel*, 3> scanCounters_{}; // the running scan's counters; none between scans
    bool busyButtons_ = false; // a scan or recovery holds the buttons
    int scansRun_ = 0;
    // The range the found files come from; a different range on Next scans again.
    std::uint64_t scannedStart_ = 0;
    std::uint64_t scannedLength_ = 0;
    bool shown_ = false;
    bool closePending_ = false;
    bool listedDenied_ = false; // some listed device is not readable for lack of rights
    std::uint64_t scanStart_ = 0;
    std::uint64_t scanLength_ = 0;
    // The range sliders move in steps of sliderUnit_ megabytes, so that a device whose
    // megabytes exceed an int still fits them; the fields always hold megabytes, up to
    // deviceMegabytes_.
    std::int64_t sliderUnit_ = 1;
    std::int64_t deviceMegabytes_ = 0;
    QString confirmedFor_; // the destination Next has just settled, for the recovery it starts
    QString rangeEndFormat_;
    QString rangeHintFormat_;

    QStackedWidget* Notebook1 = nullptr;
    QTabBar* TabSet1 = nullptr;
    QStackedWidget* Notebook2 = nullptr;
    QComboBox* DriveComboBox1 = nullptr;
    QComboBox* DriveComboBox2 = nullptr;
    QPushButton* btn_openimage = nullptr;
    QLabel* Label30 = nullptr; // path and model of the chosen physical drive
    QLabel* Label3 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label7 = nullptr;
    QLabel* lbl_norights = nullptr;
    QLabel* lbl_nodevices = nullptr;
    QGroupBox* range_start = nullptr;
    QGroupBox* range_end = nullptr;
    QSlider* trackbar1 = nullptr;
    QSlider* trackbar2 = nullptr;
    QLineEdit* Edit2 = nullptr;
    QLineEdit* Edit3 = nullptr;
    QLabel* Label12 = nullptr;
    QLabel* Label14 = nullptr;
    QLabel* Label16 = nullptr;
    QPushButton* btn_startscan = nullptr;
    QPushButton* btn_stopscan = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QLabel* Label17 = nullptr; // the scan state under ProgressBar1
    QTreeWidget* ListView1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QCheckBox* chk_originalnames = nullptr; // write files under the names the card's file system gives
    QLabel* Label19 = nullptr;
    QLabel* Label21 = nullptr;
    QPushButton* btn_startrecovery = nullptr;
    QPushButton* btn_stoprecovery = nullptr;
    QProgressBar* ProgressBar2 = nullptr;
    QPushButton* btn_help = nullptr;
    QPushButton* btn_options = nullptr;
    QPushButton* btn_prior = nullptr;
    QPushButton* btn_next = nullptr;
    QPushButton* btn_exit = nullptr;
};

} // namespace lumivore
