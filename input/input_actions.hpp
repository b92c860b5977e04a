// Input requests of the control service's "/input" route: the trust gate, the JSON request, the
// pointer, wheel and key actions, key combinations and typed text, normalized coordinates and the
// named keys.
#pragma once

#include "input/input_backend.hpp"
#include "input/own_windows.hpp"

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel::InputActions {

// Pauses of the action sequences.
inline constexpr std::chrono::microseconds kClickMovePause{20000};
inline constexpr std::chrono::microseconds kClickPressPause{40000};
inline constexpr std::chrono::microseconds kDoubleClickPause{120000};
inline constexpr std::chrono::microseconds kDragMovePause{30000};
inline constexpr std::chrono::microseconds kDragPressPause{80000};
inline constexpr std::chrono::microseconds kDragStepPause{18000};
inline constexpr std::chrono::microseconds kDragReleasePause{60000};
inline constexpr int kDragSteps = 16;
inline constexpr std::chrono::microseconds kScrollStepPause{25000};
inline constexpr int kScrollLinesPerStep = 3;
inline constexpr std::chrono::microseconds kKeyPause{30000};
// Between a combination's modifiers and its key.
inline constexpr std::chrono::microseconds kModifierPause{10000};
// Between the events of typed text: 100 characters a second.
inline constexpr std::chrono::microseconds kTypePause{5000};
// Characters of one "type_text" request; at the pace above it is over within the agent server's
// 15 s wait for an answer even when every character borrows a key.
inline constexpr std::size_t kMaxTypedCharacters = 500;

// Performs one request and returns {"ok":true,"action":…,"display":{x,y,width,height}}. A
// pointer action's "modifiers" (["ctrl","shift"] or "ctrl+shift") are held around its events.
// Blocks for the action's pauses; safe to call from several threads at once. Throws AppError
// with the fixed messages, the parser's nlohmann::json::exception for a body that is not a JSON
// object or array (parse_error; out_of_range for a number beyond a double), and the backend's
// platform errors unchanged.
// With `own`, a request that would act on one of the app's own windows throws AppError
// kOwnWindowPointerMessage or kOwnWindowKeysMessage before anything is posted.
nlohmann::json perform(InputBackend& backend, std::string_view body, OwnWindows* own = nullptr);

// The names of the actions that perform() accepts, in table order. The agent server checks
// requests against its own copy of this list before forwarding them.
std::vector<std::string_view> actionNames();

// A request value as a double: JSON numbers, booleans as 1/0, strings by strtod in the C locale
// (whole string, no leading white space); the fallback for anything else or nullptr (absent).
double number(const nlohmann::json* value, double fallback);

// A position field [x, y] in normalized coordinates (0..1000) as a point on the main display;
// the centre when absent (nullptr) or not an array of at least two elements.
ScreenPoint point(InputBackend& backend, const nlohmann::json* value);

// Clamps to 0..1000 (NaN counts as the far edge) and maps onto the main display, unrounded.
ScreenPoint pointFromNormalized(InputBackend& backend, double x, double y);

// Move, pause 20 ms, press, pause 40 ms, release. Double and triple clicks pause 120 ms between.
void click(InputBackend& backend, ScreenPoint at, MouseButton button);

// A left-button drag in 16 steps; 458 ms in all.
void drag(InputBackend& backend, ScreenPoint from, ScreenPoint to);

// Strikes a named key (key_names.hpp; name trimmed and lower-cased); throws AppError
// "Unsupported key: <name>" before posting anything when no key has that name.
void key(InputBackend& backend, std::string_view name);

// Presses or releases a named key (key_names.hpp) and keeps it held between requests, so that
// a modifier stays down across several keys or clicks (Alt across Tabs). Pressing a held key
// or releasing one that is not held posts nothing. Throws AppError "Unsupported key: <name>"
// for an unknown name and "This keyboard has no <name> key." where it cannot be made. Run under
// the held sequence.
void keyDown(InputBackend& backend, std::string_view name);
void keyUp(InputBackend& backend, std::string_view name);

// Releases every key "key_down" left held, newest first; for the end of whoever pressed them
// (the agent server's end). Takes the held sequence itself.
void releaseHeldKeys(InputBackend& backend);

// The shortcut-modifier V stroke; never fails.
void paste(InputBackend& backend);

// A key combination such as "ctrl+shift+t", "ctrl++" or ["ctrl","s"]: modifiers (ctrl, alt,
// super, shift) held in the given order around the last key, which is a key name
// (key_names.hpp) or one character (a letter names its key, so
// "ctrl+S" is Control + s). Throws AppError before posting anything when a part is unknown, a
// modifier is missing before the key or the keyboard lacks a named key.
void keyCombo(InputBackend& backend, const nlohmann::json* keys);

// The text of a "type_text" request as the characters to strike: CR LF and CR become LF; other
// control characters, an empty text and more than kMaxTypedCharacters throw AppError.
std::u32string typableText(std::string_view text);

// The number of wheel steps for a scroll amount: truncated toward zero and limited to 1..20.
// Non-finite and huge amounts, which have no integer, take the nearest limit (NaN takes one).
int scrollSteps(double amount);

// Scrolls at the pointer, three lines a step: up, left or right when the lower-cased direction
// says so, down otherwise. `direction` is nullopt for a request value that is not text, which
// scrolls down.
void scroll(InputBackend& backend, std::optional<std::string_view> direction, double amount);

} // namespace zel::InputActions
