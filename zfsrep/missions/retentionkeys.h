// The mission keys of the retention rules, "keepsource" and "keeptarget",
// and of what a send carries, "carry", as the validator checks them: absent,
// null or a text, a rule RetentionRule reads (empty: no rule) or "all"
// (also empty: the default) or "series". Pure.
#pragma once

#include <QJsonObject>
#include <QString>

namespace RetentionKeys {

// The refusal of the first key that is not acceptable, in the validator's
// style ("参数无效: keepsource: part 2 \"1x30d\": unknown period ..."), or
// empty.
QString problem(const QJsonObject &fields);

} // namespace RetentionKeys
