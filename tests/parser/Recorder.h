#pragma once
// Records every parser callback as "slot value" text, in order.
#include <string>
#include <vector>

#include "parser/parser_callbacks.h"

namespace parser_test {

std::vector<std::string>& calls();
// A table with every slot recording into calls(); clears calls().
const parser_callbacks* recorder();
// The recorded values of one slot, in order.
std::vector<std::string> callsOf(const std::string& slot);

} // namespace parser_test
