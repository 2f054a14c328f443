#pragma once
// The rules every backend holds a received text to, whatever its database: the
// one place their failures and texts are written.

#include <cstdint>
#include <string_view>

#include "server/failure.h"

namespace velmora::server {

enum class TextUse : std::uint8_t { Query, Command };

// A text as received, before any lexing: a NUL would end it for SQLite and some
// drivers, and what follows would be dropped unseen.
Status CheckReceivedText(std::u16string_view text);

// A text that holds only blanks and comments.
Status NoStatement(TextUse use);
// A query text that holds more than its one query.
Status MoreThanOneQuery();

// A command runs as one transaction of its own: it may not open or end one.
bool IsTransactionKeyword(std::string_view keyword);
Status OwnTransaction();

// The client changes one controller at a time, addressed by its key; a statement
// written to change rows that changed none must not be reported as done, or the
// operator believes a setting was stored that was not.
bool IsRowWritingKeyword(std::string_view keyword);
Status CheckRowsChanged(std::int64_t changed);

}  // namespace velmora::server
