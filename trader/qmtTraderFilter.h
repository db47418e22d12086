// Filter expressions as the grids write them: comparisons of a column with a quoted or numeric
// literal (=, <>, <, >, <=, >=), AND / OR / NOT in any case, parentheses. A quote inside a quoted
// literal is doubled: SYMBOL = 'O''NEIL'.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "qmtDataTable.h"

class TqmtFilterExpression {
public:
  // Raises EDatabaseError with the position and what was expected, or for an unknown column.
  static std::shared_ptr<const TqmtFilterExpression> Parse(const std::string& aText,
                                                           const std::vector<TqmtFieldDef>& aFields);
  virtual ~TqmtFilterExpression() = default;
  // Whether a row (values in field order) passes.
  virtual bool Evaluate(const std::vector<TqmtValue>& aRow) const = 0;
};
