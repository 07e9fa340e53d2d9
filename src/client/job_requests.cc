// What every job-level request shares: its request part opens a record in
// the connection log, and its response finds the job it belongs to.
#include "client/connection.h"
#include "client/direct_client.h"
#include "client/stages.h"

namespace kestrel {

bool SendJobRequest(RemoteJob& job, const PayloadWriter& writer, ResponseHandler handler,
                    const LogFillerInfo& filler) {
    Connection& connection = *job.connection;
    if (!connection.log.BeginRecord(writer.payload, writer.length)) {
        LogWriteFailed(connection);
        return false;
    }
    connection.requestJob = &job;
    connection.state |= kConnectionJobRequest;
    return SendRequest(connection, writer.length, handler, filler);
}

RemoteJob& RequestJob(Connection& connection) {
    connection.state &= ~kConnectionJobRequest;
    return *static_cast<RemoteJob*>(connection.requestJob);
}

void LogWriteFailed(Connection& connection) {
    ReportLogWriteFailure(connection);
    const int32_t code = connection.log.error;
    const std::string text =
        FormatToString(kCannotWriteConnectionLog, {{FormatString, connection.machineName}, {FormatI32, &code}});
    ConnectionFailureText(connection, text.c_str(), code);
}

}  // namespace kestrel
