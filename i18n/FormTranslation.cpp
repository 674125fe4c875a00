#include "i18n/FormTranslation.h"

#include "i18n/MultiLanguage.h"

namespace lumivore {

bool TakesTranslatedCaption(TComponentKind kind) {
    switch (kind) {
    case TComponentKind::Label:
    case TComponentKind::GroupBox:
    case TComponentKind::Button:
    case TComponentKind::ToolButton:
    case TComponentKind::MenuItem:
        return true;
    default:
        return false;
    }
}

void TranslateForm(std::string_view language, std::string_view windowName,
                   std::span<const TFormComponent> components, const TSetCaption& setCaption,
                   const TSetTitle& setTitle) {
    for (std::size_t i = 0; i < components.size(); ++i) {
        // Every component is looked up, as the window's own order dictates; only the kinds that
        // show a caption take the text.
        const std::string text = Translate(language, components[i].Name, "");
        if (!text.empty() && TakesTranslatedCaption(components[i].Kind) && setCaption)
            setCaption(i, text);
    }
    const std::string title = Translate(language, windowName, "");
    if (!title.empty() && setTitle)
        setTitle(title);
}

} // namespace lumivore
