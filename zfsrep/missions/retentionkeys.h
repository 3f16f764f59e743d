// The mission keys of the retention rules, "keepsource" and "keeptarget",
// as the validator checks them: absent, null or a text that RetentionRule
// reads (empty: no rule). Pure.
#pragma once

#include <QJsonObject>
#include <QString>

namespace RetentionKeys {

// The refusal of the first key that is not acceptable, in the validator's
// style ("参数无效: keepsource: part 2 \"1x30d\": unknown period ..."), or
// empty.
QString problem(const QJsonObject &fields);

} // namespace RetentionKeys
