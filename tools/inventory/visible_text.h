// Target text as shown to an operator: control bytes other than tab become
// \xHH, so that nothing a target sends can move the cursor or recolour the
// terminal.
#pragma once

#include <string>
#include <string_view>

std::string visible_text(std::string_view text);
