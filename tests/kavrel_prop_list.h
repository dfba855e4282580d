// The properties list as texts, for the tests of the properties store.
#pragma once

#include <string>
#include <vector>

#include "prop/prop.h"

namespace kavrel_test {

using Texts = std::vector<std::string>;

// The list: "key=value" for a property, "[text]" for a comment.
inline Texts snapshot(kavrel::PROP_DES *d) {
    Texts out;
    for (kavrel::KAVREL_LINK *l = d->props.next; l != &d->props; l = l->next) {
        const auto *r = reinterpret_cast<const kavrel::PROPERTY *>(l);
        const bool property = r->type == kavrel::PROP_CLEARTEXT && r->key != nullptr;
        const bool note = r->type == kavrel::PROP_COMMENT && r->key == nullptr;
        out.push_back(property ? std::string(r->key) + "=" + r->value
                      : note   ? "[" + std::string(r->value) + "]"
                               : "<bad record>");
    }
    return out;
}

}  // namespace kavrel_test
