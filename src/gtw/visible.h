// Text that came from a target, made safe to show on the operator's
// terminal.  A target's reply and message lines, and the fields of its lock
// marker, may hold any byte, escape sequences included: printed as they
// stand they could move the cursor, rewrite lines already on the screen,
// conceal text or set the window title.  Everything a program prints of a
// target's text goes through visible_text() first.
#pragma once

#include <string>
#include <string_view>

// The text with every control byte written as \xHH (two upper-case hex
// digits): the C0 controls other than tab, DEL, and the C1 controls
// 0x80-0x9F.  A line feed that ends the text, and a carriage return right
// before it, are the line end and stay as they are.  Every other byte,
// those above 0x9F included, passes unchanged.
std::string visible_text(std::string_view text);
