#pragma once
// Translation of a whole window by component name: every component whose name has a text in the
// given language and whose kind shows a caption takes that text, and the window takes the text
// of its own name as its title. The window hands in its components as (name, kind) pairs in its
// component order and receives the new texts through callbacks, so this stays free of any
// toolkit. Needs an open translations document (TTranslationsSession).

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace lumivore {

// What a component is, as far as translation cares. A window maps each of its widgets to the
// nearest kind it is derived from; check boxes and radio buttons are their own kinds even where
// the toolkit derives them from a button class, because their captions are not translated.
enum class TComponentKind {
    Label,
    GroupBox,
    Button,
    ToolButton,
    MenuItem,
    CheckBox,
    RadioButton,
    Edit,
    ComboBox,
    Other,
};

struct TFormComponent {
    std::string_view Name; // the component's name, which is the key of its caption
    TComponentKind Kind;
};

// True for the kinds whose caption the form translation replaces.
bool TakesTranslatedCaption(TComponentKind kind);

// Called with the component's position in the list handed in, and its new caption.
using TSetCaption = std::function<void(std::size_t index, const std::string& caption)>;
using TSetTitle = std::function<void(const std::string& title)>;

// Translates the components, in order, then the window's title under `windowName`. A component
// or window without a non-empty text in `language` keeps what it shows.
void TranslateForm(std::string_view language, std::string_view windowName,
                   std::span<const TFormComponent> components, const TSetCaption& setCaption,
                   const TSetTitle& setTitle);

} // namespace lumivore
