#pragma once
#include <QString>

namespace qm25 {

// What a screen reader says for a control: its caption alone often says
// little ("+", "ON", an arrow) without the group title beside it. Empty for
// controls whose caption says it all.
QString accessibleNameFor(const QString &control);

}  // namespace qm25
