#include "server/text_rules.h"

namespace velmora::server {
namespace {

constexpr const char* kNoRowMatchedText =
    "No controller matched the update; it may have been removed by another operator";

}  // namespace

Status CheckReceivedText(std::u16string_view text) {
  if (text.find(u'\0') != std::u16string_view::npos) return {kBadStatementText, "the text holds a NUL character"};
  return Status::Ok();
}

Status NoStatement(TextUse use) {
  return {kBadStatementText,
          use == TextUse::Query ? "the query text holds no statement" : "the command text holds no statement"};
}

Status MoreThanOneQuery() { return {kBadStatementText, "the query text holds more than one statement"}; }

bool IsTransactionKeyword(std::string_view keyword) {
  return keyword == "BEGIN" || keyword == "COMMIT" || keyword == "END" || keyword == "ROLLBACK";
}

Status OwnTransaction() {
  return {kBadStatementText,
          "a command runs as one transaction of its own and may not hold BEGIN, COMMIT, END or ROLLBACK"};
}

bool IsRowWritingKeyword(std::string_view keyword) { return keyword == "UPDATE"; }

Status CheckRowsChanged(std::int64_t changed) {
  if (changed == 0) return {kNoRowMatched, kNoRowMatchedText};
  return Status::Ok();
}

}  // namespace velmora::server
