#include "support/Settings.h"

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <pugixml.hpp>

#include "support/OutputDir.h"

namespace lumivore {

namespace fs = std::filesystem;

namespace {

// Loads the settings document; anything unreadable gives an empty document with its root.
pugi::xml_document Load(const std::string& path) {
    pugi::xml_document doc;
    if (!doc.load_file(path.c_str()) || !doc.child("settings")) {
        doc.reset();
        doc.append_child("settings").append_attribute("key") = kSettingsKey;
    }
    return doc;
}

// pugixml writes the document into a string, which the output component saves whole.
struct TStringWriter : pugi::xml_writer {
    std::string Text;
    void write(const void* data, std::size_t size) override { Text.append(static_cast<const char*>(data), size); }
};

bool Save(const pugi::xml_document& doc, const std::string& path) {
    const fs::path p(path);
    const std::string name = p.filename().string();
    TStringWriter writer;
    doc.save(writer, "  ");
    // Written beside and renamed, so that a full disk never leaves a truncated settings file.
    TOutputDir dir;
    std::string message;
    if (!dir.Open(p.has_parent_path() ? p.parent_path().string() : std::string("."), TExaminedSource{}, message))
        return false;
    const TWriteResult w =
        dir.Replace(name, reinterpret_cast<const std::uint8_t*>(writer.Text.data()), writer.Text.size());
    return w.Outcome == TWriteOutcome::Written;
}

} // namespace

TSettingsStore::TSettingsStore() : TSettingsStore(DefaultPath()) {}

TSettingsStore::TSettingsStore(std::string path) : path_(std::move(path)) {}

std::string TSettingsStore::DefaultPath() {
    if (const char* explicitPath = std::getenv("LUMIVORE_CONFIG"); explicitPath && *explicitPath)
        return explicitPath;
    std::string base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        base = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home)
        base = std::string(home) + "/.config";
    else
        base = ".";
    return base + "/Orvandel/Lumivore.xml";
}

std::optional<std::int32_t> TSettingsStore::ReadInteger(const std::string& name) const {
    const pugi::xml_document doc = Load(path_);
    for (pugi::xml_node v : doc.child("settings").children("value")) {
        if (name != v.attribute("name").value())
            continue;
        if (std::string_view(v.attribute("type").value()) != "integer")
            return std::nullopt;
        const std::string_view text = v.text().get();
        std::int32_t value = 0;
        const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (err != std::errc() || end != text.data() + text.size() || text.empty())
            return std::nullopt;
        return value;
    }
    return std::nullopt;
}

bool TSettingsStore::WriteInteger(const std::string& name, std::int32_t value) {
    pugi::xml_document doc = Load(path_);
    pugi::xml_node root = doc.child("settings");
    pugi::xml_node node;
    for (pugi::xml_node v : root.children("value"))
        if (name == v.attribute("name").value())
            node = v;
    if (!node) {
        node = root.append_child("value");
        node.append_attribute("name") = name.c_str();
    }
    node.remove_attribute("type");
    node.append_attribute("type") = "integer";
    node.text().set(std::to_string(value).c_str());
    return Save(doc, path_);
}

std::int32_t ReadDefaultSize(const TSettingsStore& store) {
    const std::optional<std::int32_t> v = store.ReadInteger("DefaultSize");
    if (!v || *v < 0 || *v > kDefaultSizeMax)
        return kDefaultSizeFallback;
    return *v;
}

} // namespace lumivore
