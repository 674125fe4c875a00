#pragma once
// The options dialog: interface language, the default size of a file whose end cannot be
// found, and the number of thumbnails the preview window shows at once. Apply takes effect at
// once: the engine gets the new size, the settings store both values, and the windows their
// texts in the chosen language.

#include <functional>

#include <QDialog>

class QComboBox;
class QLineEdit;
class QPushButton;

namespace lumivore {

class TScanEngine;

class Tfrm_Options : public QDialog {
    Q_OBJECT
public:
    // refreshMain re-translates the main window after Apply.
    Tfrm_Options(TScanEngine& engine, std::function<void()> refreshMain, QWidget* parent = nullptr);

    // Applies all three settings; false when the size was refused (the language still applies).
    bool Apply();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void InputChanged();
    void ApplyAndClose();

    TScanEngine& engine_;
    std::function<void()> refreshMain_;
    QComboBox* cbox_language = nullptr;
    QLineEdit* Edit1 = nullptr;
    QComboBox* cbox_numberoffiles = nullptr;
    QPushButton* btn_optionapply = nullptr;
    QPushButton* btn_optionapplyclose = nullptr;
    QPushButton* btn_optionclose = nullptr;
};

} // namespace lumivore
