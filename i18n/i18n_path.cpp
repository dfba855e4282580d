// Installation root and the full names of locale files.
//
// The root comes from $ORVTEST, else $ORVANE, and counts only when it is
// absolute; otherwise files are looked for relative to the current
// directory. Below the root:
//
//   locales/unicode/<component>/<language>/<file>.lcu   catalogues
//   charsets/unicode/<file>.uct                         character-set tables
//   collate/unicode/<file>.ust                          collation tables
#include <cstdlib>
#include <string_view>

#include "i18n_internal.h"

namespace {

constexpr char kDefaultRootText[] = {'.', i18n::kPathSeparator, '\0'};  // "./"
constexpr std::string_view kDefaultRoot = kDefaultRootText;
constexpr std::u16string_view kLocales = u"locales/unicode";
constexpr std::u16string_view kCharsets = u"charsets/unicode";
constexpr std::u16string_view kCollate = u"collate/unicode";
constexpr std::size_t kNamePart = 8;  // units of a component or language in a path
constexpr auto kSep = static_cast<char16_t>(i18n::kPathSeparator);

constexpr std::u16string_view kExtensions[] = {u".lcu", u".uct", u".ust"};

// The root as the environment gives it, one byte per unit.
std::string_view root_value() {
    const char *v = i18n::env_get("ORVTEST");
    if (v == nullptr) v = i18n::env_get("ORVANE");
    if (v == nullptr || !i18n::path_is_absolute(v)) return kDefaultRoot;
    return v;
}

bool is_default_root(std::string_view root) {
    return root == kDefaultRoot || root == ".";
}

// Appends to a caller's buffer, never past its capacity; remembers overflow.
class PathBuilder {
  public:
    PathBuilder(char16_t *out, int32_t capacity)
        : out_(out), limit_(static_cast<std::size_t>(capacity) - 1) {}

    // Text of the library's own: its "/" is the system's separator.
    PathBuilder &add(std::u16string_view s) {
        for (char16_t c : s) put(c == u'/' ? kSep : c);
        return *this;
    }
    PathBuilder &add_bytes(std::string_view s) {
        for (char c : s) put(static_cast<char16_t>(static_cast<unsigned char>(c)));
        return *this;
    }
    // A separator, unless the text is empty or already ends with one.
    PathBuilder &sep() {
        if (len_ > 0 && out_[len_ - 1] != kSep) put(kSep);
        return *this;
    }
    // A component or language name: its first 8 units, lower-cased.
    PathBuilder &add_name_part(std::u16string_view s) {
        const std::size_t from = len_;
        add(s.substr(0, kNamePart));
        if (!overflow_) {
            out_[len_] = 0;
            unicase_strLower(out_ + from);
        }
        return *this;
    }
    int32_t finish() {
        out_[len_ <= limit_ ? len_ : limit_] = 0;
        return overflow_ ? I18N_E_BUFFER : I18N_OK;
    }

  private:
    void put(char16_t c) {
        if (len_ < limit_) {
            out_[len_++] = c;
        } else {
            overflow_ = true;
        }
    }

    char16_t *out_;
    std::size_t limit_;
    std::size_t len_ = 0;
    bool overflow_ = false;
};

// Root, separator and a subtree; the bare subtree for the default root.
PathBuilder &add_subtree(PathBuilder &b, std::u16string_view subtree) {
    const std::string_view root = root_value();
    if (!is_default_root(root)) b.add_bytes(root).sep();
    return b.add(subtree);
}

std::u16string_view tables_subtree(int32_t kind) {
    return kind == 1 ? kCharsets : kCollate;
}

bool bad_buffer(const char16_t *out, int32_t capacity) {
    return out == nullptr || capacity < 1;
}

}  // namespace

extern "C" {

int32_t i18nuni_FileSpecInit(I18N_FILE_SPEC *spec) {
    if (spec == nullptr) return I18N_E_SPEC;
    *spec = I18N_FILE_SPEC{1, 0, I18N_LOC_INSTALL};
    return I18N_OK;
}

int32_t i18npath_RootGet(char16_t *out, int32_t capacity) {
    if (!bad_buffer(out, capacity)) PathBuilder(out, capacity).add_bytes(root_value()).finish();
    return I18N_OK;
}

int32_t i18npath_LocalesDir(char16_t *out, int32_t capacity) {
    if (bad_buffer(out, capacity)) return I18N_E_BUFFER;
    PathBuilder b(out, capacity);
    return add_subtree(b, kLocales).finish();
}

int32_t i18npath_TablesDir(char16_t *out, int32_t capacity, int32_t kind) {
    if (bad_buffer(out, capacity)) return I18N_E_BUFFER;
    PathBuilder b(out, capacity);
    return add_subtree(b, tables_subtree(kind)).finish();
}

int32_t i18npath_ComponentDir(char16_t *out, int32_t capacity, const char16_t *component) {
    if (component == nullptr) return I18N_E_PATHARG;
    if (bad_buffer(out, capacity)) return I18N_E_BUFFER;
    PathBuilder b(out, capacity);
    return add_subtree(b, kLocales).sep().add_name_part(component).finish();
}

int32_t i18npath_LanguageDir(char16_t *out, int32_t capacity, const char16_t *component,
                             const char16_t *language) {
    if (component == nullptr || language == nullptr) return I18N_E_PATHARG;
    if (bad_buffer(out, capacity)) return I18N_E_BUFFER;
    PathBuilder b(out, capacity);
    add_subtree(b, kLocales).sep().add_name_part(component).sep().add_name_part(language);
    return b.finish();
}

int32_t i18npath_FileName(char16_t *out, int32_t capacity, uint32_t location, int32_t file_type,
                          const char16_t *file, const char16_t *dir_or_language,
                          const char16_t *component) {
    if (location == I18N_LOC_DIR && dir_or_language == nullptr) return I18N_E_PATHARG;
    if (file == nullptr) return I18N_E_NAME;
    if (bad_buffer(out, capacity)) return I18N_E_BUFFER;
    if (location > I18N_LOC_DIR) return static_cast<int32_t>(location);
    if (file_type < I18N_FT_CATALOGUE || file_type > I18N_FT_COLLATE) return I18N_E_PATHARG;
    const bool catalogue = file_type == I18N_FT_CATALOGUE;
    PathBuilder b(out, capacity);
    if (location == I18N_LOC_INSTALL && catalogue) {
        if (dir_or_language == nullptr || component == nullptr) return I18N_E_PATHARG;
        add_subtree(b, kLocales).sep().add_name_part(component).sep();
        b.add_name_part(dir_or_language).sep();
    } else if (location == I18N_LOC_INSTALL) {
        add_subtree(b, tables_subtree(file_type)).sep();
    } else if (location == I18N_LOC_CURDIR) {
        b.add(u"./");
    } else {
        b.add(dir_or_language).sep();
    }
    b.add(file).add(kExtensions[file_type]);
    return b.finish();
}

}  // extern "C"
