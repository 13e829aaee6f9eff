// Diagnostics of one kind said once, for every reading that reports diagnostics.
#pragma once

#include <vector>

#include "tallyfold/bankfile.hpp"

namespace tallyfold {

/// `diagnostics` (ordered by line) with those of one severity and kind said as one, at
/// the place of the first: "9 :61: type codes padded with blanks read trimmed (lines
/// 12, 19, 27, …)". A note names its first three lines; a warning, which says what was
/// left out or guessed, names every line. A kind said once keeps its own message.
std::vector<Diagnostic> group_diagnostics(std::vector<Diagnostic> diagnostics);

}  // namespace tallyfold
