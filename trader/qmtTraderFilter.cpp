#include "qmtTraderFilter.h"

#include <cctype>
#include <charconv>

namespace {

enum class Op { Eq, Ne, Lt, Gt, Le, Ge };

class Comparison : public TqmtFilterExpression {
public:
  Comparison(int aField, TFieldType aType, Op aOp, std::string aText, bool aNumber, long double aNumberValue)
      : FField(aField), FType(aType), FOp(aOp), FText(std::move(aText)), FIsNumber(aNumber), FNumber(aNumberValue) {}

  bool Evaluate(const std::vector<TqmtValue>& aRow) const override {
    if (static_cast<std::size_t>(FField) >= aRow.size()) return false;
    const TqmtValue& v = aRow[FField];
    int lOrder;
    if (FType == TFieldType::ftString || FType == TFieldType::ftMemo) {
      // A null text compares as the empty text.
      const std::string& lText = std::holds_alternative<std::string>(v) ? std::get<std::string>(v) : kEmpty;
      lOrder = lText.compare(FText);
    } else {
      if (std::holds_alternative<std::monostate>(v) || !FIsNumber) return false;
      const long double lValue = TqmtField::ValueToExtended(v);
      lOrder = lValue < FNumber ? -1 : (lValue > FNumber ? 1 : 0);
    }
    switch (FOp) {
      case Op::Eq: return lOrder == 0;
      case Op::Ne: return lOrder != 0;
      case Op::Lt: return lOrder < 0;
      case Op::Gt: return lOrder > 0;
      case Op::Le: return lOrder <= 0;
      case Op::Ge: return lOrder >= 0;
    }
    return false;
  }

private:
  static inline const std::string kEmpty;
  int FField;
  TFieldType FType;
  Op FOp;
  std::string FText;
  bool FIsNumber;
  long double FNumber;
};

class Logical : public TqmtFilterExpression {
public:
  Logical(bool aAnd, std::shared_ptr<const TqmtFilterExpression> aLeft, std::shared_ptr<const TqmtFilterExpression> aRight)
      : FAnd(aAnd), FLeft(std::move(aLeft)), FRight(std::move(aRight)) {}
  bool Evaluate(const std::vector<TqmtValue>& aRow) const override {
    return FAnd ? (FLeft->Evaluate(aRow) && FRight->Evaluate(aRow)) : (FLeft->Evaluate(aRow) || FRight->Evaluate(aRow));
  }

private:
  bool FAnd;
  std::shared_ptr<const TqmtFilterExpression> FLeft, FRight;
};

class Negation : public TqmtFilterExpression {
public:
  explicit Negation(std::shared_ptr<const TqmtFilterExpression> aInner) : FInner(std::move(aInner)) {}
  bool Evaluate(const std::vector<TqmtValue>& aRow) const override { return !FInner->Evaluate(aRow); }

private:
  std::shared_ptr<const TqmtFilterExpression> FInner;
};

using Node = std::shared_ptr<const TqmtFilterExpression>;

class Parser {
public:
  Parser(const std::string& aText, const std::vector<TqmtFieldDef>& aFields) : FText(aText), FFields(aFields) {}

  Node Run() {
    Node lNode = Expression(0);
    SkipBlanks();
    if (FPos < FText.size()) Fail("end of expression");
    return lNode;
  }

private:
  static constexpr int kMaxDepth = 200;

  [[noreturn]] void Fail(const std::string& aExpected) const {
    std::string lFound = FPos < FText.size() ? "'" + FText.substr(FPos, 12) + "'" : "end of text";
    throw EDatabaseError("Filter expression error at position " + std::to_string(FPos + 1) + ": expected " + aExpected +
                         ", found " + lFound + " in \"" + FText + "\"");
  }

  void SkipBlanks() {
    while (FPos < FText.size() && std::isspace(static_cast<unsigned char>(FText[FPos]))) ++FPos;
  }

  static bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

  // Consumes a keyword (any case) when it stands as a whole word here.
  bool Keyword(const char* aWord) {
    SkipBlanks();
    std::size_t n = 0;
    while (aWord[n]) {
      if (FPos + n >= FText.size() || std::toupper(static_cast<unsigned char>(FText[FPos + n])) != aWord[n]) return false;
      ++n;
    }
    if (FPos + n < FText.size() && IsWordChar(FText[FPos + n])) return false;
    FPos += n;
    return true;
  }

  Node Expression(int aDepth) {
    Node lLeft = Term(aDepth);
    while (Keyword("OR")) lLeft = std::make_shared<Logical>(false, lLeft, Term(aDepth));
    return lLeft;
  }

  Node Term(int aDepth) {
    Node lLeft = Factor(aDepth);
    while (Keyword("AND")) lLeft = std::make_shared<Logical>(true, lLeft, Factor(aDepth));
    return lLeft;
  }

  Node Factor(int aDepth) {
    if (aDepth > kMaxDepth) Fail("a shallower expression");
    if (Keyword("NOT")) return std::make_shared<Negation>(Factor(aDepth + 1));
    SkipBlanks();
    if (FPos < FText.size() && FText[FPos] == '(') {
      ++FPos;
      Node lInner = Expression(aDepth + 1);
      SkipBlanks();
      if (FPos >= FText.size() || FText[FPos] != ')') Fail("')'");
      ++FPos;
      return lInner;
    }
    return ComparisonNode();
  }

  Node ComparisonNode() {
    SkipBlanks();
    std::string lName;
    if (FPos < FText.size() && FText[FPos] == '[') {
      const auto lClose = FText.find(']', FPos);
      if (lClose == std::string::npos) Fail("']'");
      lName = FText.substr(FPos + 1, lClose - FPos - 1);
      FPos = lClose + 1;
    } else {
      while (FPos < FText.size() && IsWordChar(FText[FPos])) lName += FText[FPos++];
    }
    if (lName.empty()) Fail("a column name");
    int lField = -1;
    for (std::size_t i = 0; i < FFields.size(); ++i)
      if (lField < 0 && SameFieldName(FFields[i].Name, lName)) lField = static_cast<int>(i);
    if (lField < 0) throw EDatabaseError("Filter expression error: field '" + lName + "' not found");

    SkipBlanks();
    Op lOp;
    auto lStarts = [&](const char* s) { return FText.compare(FPos, std::char_traits<char>::length(s), s) == 0; };
    if (lStarts("<>")) { lOp = Op::Ne; FPos += 2; }
    else if (lStarts("<=")) { lOp = Op::Le; FPos += 2; }
    else if (lStarts(">=")) { lOp = Op::Ge; FPos += 2; }
    else if (lStarts("=")) { lOp = Op::Eq; FPos += 1; }
    else if (lStarts("<")) { lOp = Op::Lt; FPos += 1; }
    else if (lStarts(">")) { lOp = Op::Gt; FPos += 1; }
    else Fail("a comparison operator");

    SkipBlanks();
    std::string lText;
    bool lNumber = false;
    long double lValue = 0;
    if (FPos < FText.size() && FText[FPos] == '\'') {
      ++FPos;
      for (;;) {
        if (FPos >= FText.size()) Fail("a closing quote");
        if (FText[FPos] == '\'') {
          if (FPos + 1 < FText.size() && FText[FPos + 1] == '\'') {
            lText += '\'';
            FPos += 2;
            continue;
          }
          ++FPos;
          break;
        }
        lText += FText[FPos++];
      }
      // A quoted number still compares numerically with a numeric column.
      const auto r = std::from_chars(lText.data(), lText.data() + lText.size(), lValue);
      lNumber = !lText.empty() && r.ec == std::errc() && r.ptr == lText.data() + lText.size();
    } else {
      const std::size_t lStart = FPos;
      if (FPos < FText.size() && (FText[FPos] == '-' || FText[FPos] == '+')) ++FPos;
      while (FPos < FText.size() && (std::isdigit(static_cast<unsigned char>(FText[FPos])) || FText[FPos] == '.' ||
                                     FText[FPos] == 'e' || FText[FPos] == 'E'))
        ++FPos;
      lText = FText.substr(lStart, FPos - lStart);
      const char* lBegin = lText.data() + (lText.size() && lText[0] == '+' ? 1 : 0);
      const auto r = std::from_chars(lBegin, lText.data() + lText.size(), lValue);
      if (lText.empty() || r.ec != std::errc() || r.ptr != lText.data() + lText.size()) {
        FPos = lStart;
        Fail("a quoted text or a number");
      }
      lNumber = true;
    }
    return std::make_shared<Comparison>(lField, FFields[lField].DataType, lOp, lText, lNumber, lValue);
  }

  const std::string& FText;
  const std::vector<TqmtFieldDef>& FFields;
  std::size_t FPos = 0;
};

}  // namespace

std::shared_ptr<const TqmtFilterExpression> TqmtFilterExpression::Parse(const std::string& aText,
                                                                        const std::vector<TqmtFieldDef>& aFields) {
  return Parser(aText, aFields).Run();
}
