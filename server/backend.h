#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "server/failure.h"
#include "server/service_settings.h"
#include "service/module_abi.h"
#include "service/recordset.h"

namespace velmora::server {

// The database work of the service, done by the backend its settings choose: an
// SQLite file or an ODBC connection. Texts arrive as the client sent them.
class Backend {
 public:
  // Runs just before a command's transaction commits; a failure rolls it back.
  using BeforeCommit = std::function<Status()>;

  // The backend for settings, which must have no Problem.
  static std::unique_ptr<Backend> For(const ServiceSettings& settings);

  Backend() = default;
  Backend(const Backend&) = delete;
  Backend& operator=(const Backend&) = delete;
  virtual ~Backend() = default;

  // The rows of text, which must hold exactly one query, as a record set on its
  // first row in recordset; fails when it cannot be run.
  virtual Status OpenQuery(const VelmoraHostApi& host, std::u16string_view text, ComPtr<IRecordset>& recordset) = 0;

  // Carries out every statement of text as one transaction, durable when this
  // returns ok. Fails (and changes nothing) when a statement fails, when an
  // UPDATE changes no row, when the text holds no statement or one of its own
  // BEGIN, COMMIT, END or ROLLBACK, and when beforeCommit fails.
  virtual Status ExecuteCommand(std::u16string_view text, const BeforeCommit& beforeCommit) = 0;
};

}  // namespace velmora::server
