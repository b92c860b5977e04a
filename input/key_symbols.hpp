// The X keysym of what the actions strike. X11 and xkbcommon number keysyms alike, so both
// platforms' keyboards look keys up by these.
#pragma once

#include "input/input_backend.hpp"

#include <cstdint>

namespace zel {

// Return is the main key, never KP_Enter; "delete" deletes backwards, which X calls BackSpace.
constexpr std::uint32_t keysymOf(Key key) {
    switch (key) {
    case Key::returnKey:
        return 0xff0d;
    case Key::tab:
        return 0xff09;
    case Key::space:
        return 0x0020;
    case Key::deleteBackward:
        return 0xff08;
    case Key::escape:
        return 0xff1b;
    case Key::left:
        return 0xff51;
    case Key::up:
        return 0xff52;
    case Key::right:
        return 0xff53;
    case Key::down:
        return 0xff54;
    case Key::v:
        return 0x0076;
    case Key::deleteForward:
        return 0xffff;
    case Key::insert:
        return 0xff63;
    case Key::home:
        return 0xff50;
    case Key::end:
        return 0xff57;
    case Key::pageUp:
        return 0xff55;
    case Key::pageDown:
        return 0xff56;
    case Key::menu:
        return 0xff67;
    case Key::f1:
    case Key::f2:
    case Key::f3:
    case Key::f4:
    case Key::f5:
    case Key::f6:
    case Key::f7:
    case Key::f8:
    case Key::f9:
    case Key::f10:
    case Key::f11:
    case Key::f12:
        return 0xffbe + (static_cast<int>(key) - static_cast<int>(Key::f1));
    case Key::control:
        return 0xffe3;
    case Key::alt:
        return 0xffe9;
    case Key::super:
        return 0xffeb;
    case Key::shift:
        return 0xffe1;
    }
    return 0;
}

// Latin-1 keysyms equal their code points; every other character has the Unicode keysym.
constexpr std::uint32_t keysymOf(char32_t character) {
    if (character == U'\n') {
        return 0xff0d;
    }
    if (character == U'\t') {
        return 0xff09;
    }
    if ((character >= 0x20 && character <= 0x7e) || (character >= 0xa0 && character <= 0xff)) {
        return character;
    }
    return 0x01000000 | character;
}

} // namespace zel
