#include "driver/build_log_step.h"

#include "client/direct_client.h"
#include "driver/panic.h"
#include "logs/build_log_writer.h"
#include "platform/streams.h"
#include "prep/preparation.h"
#include "runtime/messages.h"

namespace kestrel {

bool WriteBuildLog(DirectClient& client) {
    int error = 0;
    std::FILE* out = platform::OpenStream("build_log.xml", "w+b", error);
    if (out == nullptr) {
        const int32_t code = error;
        PostMessageText("Cannot create the build log, error {0}", {{FormatI32, &code}});
        return false;
    }
    PreparationThread::ReleaseServerList(client.preparation);
    if (!IsDisplayMode()) PrintStatusLine("Generating the build log");
    BuildLogWriter writer(client.openFileBudget);
    for (uint32_t i = 0; i < client.handedLogCount; ++i) {
        const HandedLog& handed = client.handedLogs[i];
        if (!writer.AddConnection(handed.file, handed.utf16)) PostMessageText(kInsufficientMemoryForClient);
    }
    client.handedLogCount = 0;
    BuildLogSettings settings;
    settings.start = {client.startTime, client.startBias};
    if (!client.buildLogLost) writer.Generate(out, settings);
    platform::CloseStream(out, error);
    // The corrupt log is among what the panic report collects.
    if (writer.corrupt()) Panic("connection log corrupt");
    writer.CleanUp();
    return true;
}

}  // namespace kestrel
