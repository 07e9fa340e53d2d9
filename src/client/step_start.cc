// StepStart: the machine takes the job's input and gets ready to run its
// commands.
#include "client/connection.h"
#include "client/requests.h"
#include "client/responses.h"
#include "client/stages.h"

namespace kestrel {

namespace {

void OnStepStartResponse(Connection& connection, uint8_t* message, uint32_t length) {
    RemoteJob& job = RequestJob(connection);
    const uint8_t* payload = message + kMessageHeaderSize;
    const uint32_t payloadLength = length - kMessageHeaderSize;
    StatusResponse response;
    if (const char* fault = CheckStepStartResponse(payload, payloadLength, response)) {
        if (payloadLength >= 4 && response.status > 5) MarkJobFailed(job);
        return ProtocolFailure(connection, fault, true);
    }
    if (!LogStatusResponse(connection, payload, response) || EndJobOnRefusal(job, response)) return;
    MoveJob(job, Stage::Execute);
    SendFirstCommand(job);
}

}  // namespace

void SendStepStart(RemoteJob& job) {
    Connection& connection = *job.connection;
    PayloadWriter writer = BeginPayload(connection.protocol.messageBuffer, (connection.state & kConnectionUtf16) != 0);
    BuildJobRequest(writer, MessageType::StepStart, job.jobId);
    SendJobRequest(job, writer, OnStepStartResponse, {LogFiller::Status});
}

}  // namespace kestrel
