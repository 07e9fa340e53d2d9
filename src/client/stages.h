// The steps that move a job along its connection, one request at a time,
// and the run controller that calls them. Each step runs only while its
// connection has no request outstanding; each response handler moves the
// job to its next list and, where the next request follows at once, sends it.
//
//   attach (run_controller.cc) -> start (job_setup.cc) -> input (input_transfer.cc,
//   step_start.cc) -> commands (commands.cc, polling.cc) -> outputs
//   (output_transfer.cc) -> end (job_end.cc) -> the run's end (run_end.cc)
#pragma once

#include <cstdint>
#include <string>

#include "client/connection.h"
#include "client/remote_job.h"
#include "client/requests.h"

namespace kestrel {

struct DirectClient;
struct Job;
struct MachinePath;

// ---- Stage lists (remote_job.cc) ----------------------------------------

JobList& StageList(Connection& connection, Stage stage);
// Takes the job off its list (if any) and puts it at the head of `stage`'s.
void MoveJob(RemoteJob& job, Stage stage);
void UnlinkJob(RemoteJob& job);

// ---- Run controller (run_controller.cc) ----------------------------------

// Runs the job on every one of its machines.
void AttachJob(DirectClient& client, Job& job);
// Attaches every job the scheduler has released.
void AttachReleasedJobs(DirectClient& client);
// One dispatcher pass for the connection.
void Dispatch(Connection& connection);
// After a failed preparation: the waiting jobs try their machines' next paths.
void FailOverWaitingJobs(Connection& connection);
// The run controller's part of a connection failure: fails and abandons
// every job, closes the connection and ends the run when nothing is left.
void OnConnectionFailed(Connection& connection);
// Whether the run should end now: not ending, no job active, none released.
bool RunIsOver(const DirectClient& client);

// ---- Connection set-up, admission, negotiation ---------------------------

// Allocates the message buffer and the connection log; false (message
// posted) when either cannot be had.
bool PrepareConnectionRecord(Connection& connection, const char* jobName, bool& logFailed);
// The failure text of a preparation answer's status (`url` names the first
// hop for a status the client does not know; `sshText`, when not null, is
// ssh's own last line).
std::string DescribePreparationFailure(uint32_t status, const char* url, const char* sshText);
// What the failure message says of the code of a preparation status: the
// description in parentheses after a space, from the system, the resolver
// or (for the program's fixed numbers) the program; "" for code 0.
std::string DescribePreparationCode(uint32_t status, int32_t code);
// Writes the log start, marks the connection preparing and submits it.
void Prepare(Connection& connection);
// The completion of the preparation pipe's read: one PreparationResponse.
void OnPreparationAnswer(IoObject* pipe);
// Gives the job a job ID (or leaves it without when all are in use). False
// only when the connection failed for lack of memory.
bool GiveJobId(Connection& connection, RemoteJob& job);
void ReleaseJobId(Connection& connection, RemoteJob& job);
// The Hello answer and the tunnel hops (admission.cc).
void OnHelloAnswer(Connection& connection, uint8_t* message, uint32_t length);
// Encoding, Separators, Capabilities and Version, then the job IDs of the
// jobs that waited for the connection.
void ContinueHandshake(Connection& connection);

// ---- Sending a job's request ---------------------------------------------

// Logs the request part (the payload) as a new record and sends the request
// for `job`; on a log failure the request is not sent. False when nothing
// was sent.
bool SendJobRequest(RemoteJob& job, const PayloadWriter& writer, ResponseHandler handler,
                    const LogFillerInfo& filler);
// Posts the log failure and fails the connection: a connection whose log
// cannot be written cannot be reported on.
void LogWriteFailed(Connection& connection);
// The job of the request whose response has arrived.
RemoteJob& RequestJob(Connection& connection);

// What a job's status response goes through first: `check` reads it (a fault
// fails the connection as malformed), then its part is logged and the record
// committed (a log that cannot be written fails the connection). False when
// the connection has failed and the handler has nothing left to do.
using StatusResponseCheck = const char* (*)(const uint8_t* payload, uint32_t length, StatusResponse& out);
// Logs a checked response's part and commits the record; false when the log
// could not be written and the connection has failed.
bool LogStatusResponse(Connection& connection, const uint8_t* payload, const StatusResponse& response);
bool TakeStatusResponse(Connection& connection, const uint8_t* message, uint32_t length, StatusResponseCheck check,
                        StatusResponse& response);
// A status above `lastAccepted` is a refusal: the job is marked failed and
// ends soon. True when it was one.
bool EndJobOnRefusal(RemoteJob& job, const StatusResponse& response, uint32_t lastAccepted = 0);

// ---- Job set-up (job_setup.cc) ---------------------------------------------

void SendStartJob(RemoteJob& job);
void SendDevelopmentEnvironment(RemoteJob& job);
void ChooseEnvironmentPhase(RemoteJob& job);
void SendEnvironmentEdit(RemoteJob& job);

// ---- Input and step start (input_transfer.cc, step_start.cc) ---------------

void StartInputTransfer(RemoteJob& job);
void ContinueInputTransfer(RemoteJob& job);
void SendStepStart(RemoteJob& job);
// Frees the input archive state (the job ends or is abandoned).
void ReleaseInputTransfer(RemoteJob& job);
// Every job of the connection is sending its input: each one's next piece
// follows its file reads or its acknowledgement by itself, and a Poll would
// only hold it up (no command runs, no job waits for capacity).
bool OnlyInputTransfers(Connection& connection);

// ---- Commands and polling (commands.cc, polling.cc) ------------------------

void SendFirstCommand(RemoteJob& job);
void SendNextCommand(RemoteJob& job);
void CommandProgress(RemoteJob& job);
void CommandFailed(RemoteJob& job);
void ReleaseCommandWork(RemoteJob& job);
void SendPoll(Connection& connection);
// Back to the first delay: something happened on the connection.
void ResetPollDelay(Connection& connection);
// A job was attached to a connection that waits out a poll delay: poll now.
void CutPollWait(Connection& connection);

// ---- Output transfer (output_transfer.cc) ----------------------------------

void StartOutput(RemoteJob& job);
void ContinueOutput(RemoteJob& job);
void ReleaseOutputTransfer(RemoteJob& job);

// ---- Job end and teardown (job_end.cc, run_end.cc) -------------------------

// Marks the job failed and the run as having a failed job.
void MarkJobFailed(RemoteJob& job);
// How the job's error records name it in the connection log.
LogJobReference ReferenceOf(const RemoteJob& job);
// A job-level failure: the job failure record with `code` and `message`,
// "The job {0} failed: {1}", then EndJob (or the local end for a job the
// machine never started).
void FailJob(RemoteJob& job, uint32_t code, const char* message);
// The job goes to the end list; EndJob is sent when the connection is idle
// (the dispatcher sends it otherwise). A job the machine never started ends
// locally instead.
void EndJobSoon(RemoteJob& job);
void SendEndJob(RemoteJob& job);
void EndJobLocally(RemoteJob& job);
void AbandonJob(Connection& connection, RemoteJob& job);
// Abandons every job of every stage list: failing the run's jobs, failing
// only these records (their jobs go on elsewhere), or neither.
enum class JobFailure : uint8_t { None, RecordOnly, Run };
void AbandonAllJobs(Connection& connection, JobFailure failure);
void EndRun(DirectClient& client);
void CloseConnection(Connection& connection);
// Hands the connection's log to the client's list for the build log.
void HandOverLog(Connection& connection);

}  // namespace kestrel
