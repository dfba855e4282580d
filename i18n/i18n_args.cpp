// Argument lists and the composition of templates with %1..%9.
#include <string_view>

#include "i18n_internal.h"

namespace {

// The caller can see and overwrite the count: one out of range makes the
// list unusable rather than an index into memory that is not the list's.
bool valid(const I18N_ARGS *list) {
    return list != nullptr && list->magic == I18N_ARGS_MAGIC && list->last >= -1 &&
           list->last < I18N_ARGS_MAX;
}

// Writes pieces into the caller's buffer while they fit whole.
class Composer {
  public:
    Composer(char16_t *out, int32_t capacity)
        : out_(out), room_(static_cast<std::size_t>(capacity) - 1) {}

    bool put(std::u16string_view piece) {
        if (piece.size() > room_ - len_) return false;
        piece.copy(out_ + len_, piece.size());
        len_ += piece.size();
        return true;
    }
    int32_t finish(int32_t status) {
        out_[len_] = 0;
        return status;
    }

  private:
    char16_t *out_;
    std::size_t room_;
    std::size_t len_ = 0;
};

}  // namespace

extern "C" {

int32_t i18nargs_init(I18N_ARGS *list) {
    if (list == nullptr) return 0;
    *list = I18N_ARGS{I18N_ARGS_MAGIC, -1, {}};
    return 1;
}

int32_t i18nargs_add(I18N_ARGS *list, const char16_t *s) {
    if (!valid(list) || s == nullptr || list->last + 1 >= I18N_ARGS_MAX) return 0;
    ++list->last;
    list->args[list->last] = s;
    return list->last + 1;
}

const char16_t *i18nargs_get(const I18N_ARGS *list, int32_t n) {
    if (!valid(list) || n < 1 || n > list->last + 1) return nullptr;
    return list->args[n - 1];
}

int32_t i18nstrb_Compose(char16_t *out, int32_t capacity, const char16_t *templ,
                         const I18N_ARGS *list) {
    if (out == nullptr || capacity < 1 || templ == nullptr) return I18N_E_BUFFER;
    Composer c(out, capacity);
    for (const char16_t *p = templ; *p != 0; ++p) {
        std::u16string_view piece(p, 1);
        if (*p == u'%') {
            const char16_t next = p[1];
            if (next == u'%') {
                ++p;  // "%%" is one "%"
            } else if (unichar_isDigit(next) && unichar_digitValue(next) > 0) {
                piece = i18n::view(i18nargs_get(list, unichar_digitValue(next)));
                ++p;
            } else if (next != 0) {
                piece = std::u16string_view(p++, 2);  // copied unchanged, "%0" included
            }
        }
        if (!c.put(piece)) return c.finish(I18N_E_TOOLONG);
    }
    return c.finish(I18N_OK);
}

}  // extern "C"
