// The names of the keys that "key" and "key_combo" requests accept: one table, one meaning per
// name ("delete" is the forward Delete, "backspace" deletes before the cursor), matched after
// trimming and lower-casing, so xdotool's spellings (Return, BackSpace, Page_Down) work too.
#pragma once

#include "input/input_backend.hpp"

#include <optional>
#include <string_view>
#include <vector>

namespace zel::InputActions {

// The key a normalized (trimmed, lower-cased) name stands for; nullopt when it names none.
std::optional<Key> namedKey(std::string_view normalizedName);

// Every accepted name, in table order. The agent server validates against its own copy of this
// list; a test holds the two together.
std::vector<std::string_view> keyNames();

} // namespace zel::InputActions
