// What every job-level request shares: its request part opens a record in
// the connection log, its response finds the job it belongs to and is checked
// and logged the same way.
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

bool TakeStatusResponse(Connection& connection, const uint8_t* message, uint32_t length, StatusResponseCheck check,
                        StatusResponse& response) {
    const uint8_t* payload = message + kMessageHeaderSize;
    if (const char* fault = check(payload, length - kMessageHeaderSize, response)) {
        ProtocolFailure(connection, fault, true);
        return false;
    }
    return LogStatusResponse(connection, payload, response);
}

bool LogStatusResponse(Connection& connection, const uint8_t* payload, const StatusResponse& response) {
    if (LogResponsePart(connection.log, payload, response) && connection.log.Commit()) return true;
    LogWriteFailed(connection);
    return false;
}

bool EndJobOnRefusal(RemoteJob& job, const StatusResponse& response, uint32_t lastAccepted) {
    if (response.status <= lastAccepted) return false;
    MarkJobFailed(job);
    EndJobSoon(job);
    return true;
}

void LogWriteFailed(Connection& connection) {
    ReportLogWriteFailure(connection);
    const int32_t code = connection.log.error;
    const std::string text =
        FormatToString(kCannotWriteConnectionLog, {{FormatString, connection.machineName}, {FormatI32, &code}});
    ConnectionFailureText(connection, text.c_str(), code);
}

}  // namespace kestrel
