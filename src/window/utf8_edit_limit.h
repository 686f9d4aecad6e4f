// The rule the byte-limited edit boxes apply to every change the user makes to their text: a
// change that leaves the text within the limit of UTF-8 bytes stands; of a change that would go
// beyond it, the part taken out stays out and only as much of the part put in is kept as fits,
// in whole characters. A text already over the limit (set by the program) may shrink but not grow.
//
// Pure function; any thread.
#pragma once

#include <QString>
#include <cstddef>
#include <optional>

namespace parlon {

struct LimitedEdit {
    QString text;      // what the box is to hold instead
    qsizetype cursor;  // where the cursor goes: after the kept part of the insertion
};

// `before` is the text the box held, `after` the text the user's change made of it. nullopt when
// the change stands as it is.
std::optional<LimitedEdit> LimitEdit(const QString& before, const QString& after, size_t maxBytes);

}  // namespace parlon
