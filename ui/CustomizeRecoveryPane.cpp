// The preview window's pane of the chosen file (ui/CustomizeRecovery.h): below the tree, the
// chosen thumbnail's picture at the pane's size or its camera metadata, the enlarged view, and
// the splitters and keys that size and open them.
#include "ui/CustomizeRecovery.h"

#include <QDateTime>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QSplitter>
#include <QTabWidget>
#include <QToolButton>

#include "engine/FileTypes.h"
#include "engine/Recovery.h"
#include "engine/ScanEngine.h"
#include "preview/Bitmap.h"
#include "preview/Thumbnails.h"
#include "ui/PictureViewer.h"
#include "ui/StatusBarEx.h"
#include "ui/UiSupport.h"

namespace lumivore {

void Tfrm_CustomizeRecovery::ListView1Change() { ShowFile(ListView1->currentItem()); }

void Tfrm_CustomizeRecovery::ShowFile(QListWidgetItem* item) {
    if (!item || loading_ || recovering_ || !item->isSelected())
        return;
    const auto index = static_cast<std::size_t>(item->data(kListItemIndexRole).toULongLong());
    if (index >= engine_.FoundFiles.size())
        return;
    TFoundFile& file = engine_.FoundFiles[index];
    FillMetadata(file);
    if (PageControl1->currentWidget() != TabSheet1 || ListView1->selectedItems().size() != 1)
        return;
    const TFoundFile before = file;
    ShowPreview(file);
    // Reading the whole file may have measured its length or size: show what is known now.
    if (!(file == before))
        FillMetadata(file);
}

void Tfrm_CustomizeRecovery::ClearShownFile() {
    Image1->clear();
    previewPixmap_ = QPixmap();
    Label2->clear();
    StatusPanel0->clear();
}

QString Tfrm_CustomizeRecovery::ThumbnailToolTip(const TFoundFile& file) const {
    const QStringList values = ShownMetadata(file);
    QStringList lines{QString::fromStdString(RecoveredFileName(file.StartSector, Printable(file.Ext)))};
    if (const QString original = OriginalNameShown(file); !original.isEmpty())
        lines << originalCaption_ + QStringLiteral(": ") + original;
    if (file.Length > 0)
        lines << captions_[1] + QStringLiteral(": ") + values[1];
    if (file.Width > 0 && file.Height > 0)
        lines << captions_[2] + QStringLiteral(" x ") + captions_[3] + QStringLiteral(": ") + values[2] +
                     QStringLiteral(" x ") + values[3];
    if (!file.DateTaken.empty())
        lines << captions_[6] + QStringLiteral(": ") + values[6];
    if (const QString pieces = PiecesShown(file); !pieces.isEmpty())
        lines << piecesCaption_ + QStringLiteral(": ") + pieces;
    return lines.join(QLatin1Char('\n'));
}

QString Tfrm_CustomizeRecovery::PiecesShown(const TFoundFile& file) {
    // A photo whose rest was not found shows as far as its data reached: the user is told why.
    if (file.Incomplete)
        return Tr("photo_incomplete");
    if (file.Reassembled())
        return CountText("photo_inpieces", static_cast<long long>(file.Pieces.size()));
    return {};
}

QStringList Tfrm_CustomizeRecovery::ShownMetadata(const TFoundFile& file) {
    const std::array<std::string, kMetadataLines> values = MetadataValues(file);
    QStringList lines;
    for (const std::string& value : values)
        lines << QString::fromStdString(value);
    // Sizes and dates as the user's locale writes them; a date that is no date stays as read.
    const QLocale locale;
    if (file.Length > 0)
        lines[1] = locale.formattedDataSize(file.Length, 2, QLocale::DataSizeTraditionalFormat);
    if (file.DateTaken.size() >= 19) {
        const QDateTime taken = QDateTime::fromString(QString::fromStdString(file.DateTaken.substr(0, 19)),
                                                      QStringLiteral("yyyy:MM:dd HH:mm:ss"));
        if (taken.isValid())
            lines[6] = locale.toString(taken, QLocale::ShortFormat);
    }
    return lines;
}

void Tfrm_CustomizeRecovery::ShowEnlarged(QListWidgetItem* item) {
    if (!item || loading_ || recovering_)
        return;
    const auto index = static_cast<std::size_t>(item->data(kListItemIndexRole).toULongLong());
    if (index >= engine_.FoundFiles.size())
        return;
    TFoundFile& file = engine_.FoundFiles[index];
    QPixmap picture = unsupportedPicture_;
    if (TraitsOf(file.Type()).Decoder != TPictureDecoder::None) {
        TBitmap bitmap;
        picture = engine_.LoadPreview(file, bitmap) && !bitmap.Empty() ? ToPixmap(bitmap) : corruptedPicture_;
    }
    Tfrm_PictureViewer viewer(QString::fromStdString(RecoveredFileName(file.StartSector, Printable(file.Ext))), picture,
                              this);
    if (PictureViewerHook) {
        PictureViewerHook(viewer);
        return;
    }
    viewer.exec();
}

void Tfrm_CustomizeRecovery::FillMetadata(const TFoundFile& file) {
    const QStringList lines = ShownMetadata(file);
    const QString original = OriginalNameShown(file);
    // The pane is narrow: the number of pieces, or that the photo is incomplete; the tool tip
    // says it in a whole sentence.
    QString pieces;
    if (file.Incomplete)
        pieces = Tr("photo_incompleteshort");
    else if (file.Reassembled())
        pieces = QLocale().toString(static_cast<qlonglong>(file.Pieces.size()));
    Label2->setText(lines.join(QLatin1Char('\n')) + QLatin1Char('\n') +
                    (original.isEmpty() ? QStringLiteral("-") : original) + QLatin1Char('\n') +
                    (pieces.isEmpty() ? QStringLiteral("-") : pieces));
    // Joined piece by piece: values read from the card must never be taken for placeholders.
    const QString blank = QStringLiteral(" "), colon = QStringLiteral(": ");
    StatusPanel0->setText(blank + captions_[2] + QStringLiteral(" x ") + captions_[3] + colon + lines[2] +
                          QStringLiteral(" x ") + lines[3] + blank + captions_[6] + colon + lines[6] + blank +
                          captions_[5] + colon + lines[5] + blank + captions_[0] + colon + lines[0] + blank +
                          captions_[1] + colon + lines[1]);
}

void Tfrm_CustomizeRecovery::ShowPreview(TFoundFile& file) {
    Image1->clear();
    Image1->setScaledContents(false);
    previewPixmap_ = QPixmap();
    // A type whose picture Lumivore can draw shows it: a photo, a phone's still, a video's first
    // frame, a CR3's preview. Others show that a preview is not supported.
    if (TraitsOf(file.Type()).Decoder != TPictureDecoder::None) {
        TBitmap bitmap;
        if (engine_.LoadPreview(file, bitmap) && !bitmap.Empty())
            previewPixmap_ = ToPixmap(bitmap);
        else
            previewPixmap_ = corruptedPicture_;
    } else {
        previewPixmap_ = unsupportedPicture_;
    }
    Image1->setPixmap(previewPixmap_);
    FitImage1();
}

void Tfrm_CustomizeRecovery::FitImage1() {
    if (previewPixmap_.isNull())
        return;
    const TPreviewPlacement p =
        FitPreviewImage(previewPixmap_.width(), previewPixmap_.height(), TabSheet1->width(), TabSheet1->height());
    Image1->setScaledContents(p.Stretch);
    Image1->setGeometry(p.Left, p.Top, p.Width, p.Height);
}

void Tfrm_CustomizeRecovery::PlaceEnlargeButton() {
    Image2->move(Panel6->width() - Image2->width() - 2, 2);
    Image2->raise();
}

void Tfrm_CustomizeRecovery::Splitter1Moved() {
    PlaceEnlargeButton();
    ListView1->doItemsLayout();
    FitImage1();
}

void Tfrm_CustomizeRecovery::Image2Click() {
    const QList<int> across = Splitter1->sizes();
    const int width = across.value(0) + across.value(1);
    Splitter1->setSizes({kPaneLimit, std::max(width - kPaneLimit, 1)});
    const QList<int> down = Splitter2->sizes();
    const int height = down.value(0) + down.value(1);
    Splitter2->setSizes({std::max(height - kPaneLimit, 1), kPaneLimit});
    Splitter1Moved();
}

void Tfrm_CustomizeRecovery::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    PlaceEnlargeButton();
}

bool Tfrm_CustomizeRecovery::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ListView1 && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && ListView1->currentItem() != nullptr) {
            ShowEnlarged(ListView1->currentItem());
            return true;
        }
    }
    if (event->type() == QEvent::Resize) {
        if (watched == TabSheet1)
            FitImage1();
        else if (watched == Panel6)
            PlaceEnlargeButton();
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace lumivore
