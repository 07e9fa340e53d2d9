#include "report/build_log_reader.h"

#include <libxml/xmlreader.h>

#include <memory>
#include <string_view>

#include "report/line_joiner.h"
#include "report/log_values.h"

namespace kestrel::report {
namespace {

constexpr std::string_view kNamespaceEnd = "/Kestrelvane/BuildLog/1.0/";

struct ReaderDeleter {
    void operator()(xmlTextReader* reader) const { xmlFreeTextReader(reader); }
};

// The first error libxml2 reports, with its line.
void KeepFirstError(void* context, xmlErrorPtr error) {
    auto* message = static_cast<std::string*>(context);
    if (!message->empty() || error == nullptr) return;
    std::string text = error->message != nullptr ? error->message : "unreadable XML";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    *message = text + " (line " + std::to_string(error->line) + ")";
}

std::string_view View(const xmlChar* text) {
    return text == nullptr ? std::string_view() : std::string_view(reinterpret_cast<const char*>(text));
}

class LogReader {
public:
    LogReader(xmlTextReader* reader, DetailsWriter& details, BuildLog& log, std::string& message)
        : reader_(reader), details_(details), log_(log), message_(message) {}

    bool Run();

private:
    bool Node();
    bool StartElement(std::string_view name, int depth, bool empty);
    void EndElement(std::string_view name, int depth);

    bool Root();
    bool Machine();
    bool Job(bool started);
    void EndJob();
    void Command();
    void EndCommand();
    void Line(std::string_view name, bool empty);
    void ProcessEvent(std::string_view name);
    void TextElementEnd(std::string_view name);

    std::string Attribute(const char* name, bool& present);
    std::string Attribute(const char* name) {
        bool present = false;
        return Attribute(name, present);
    }
    bool Fail(const std::string& what);
    bool InNamespace();
    size_t ConnectionOf(const std::string& machine, uint32_t pathId);

    xmlTextReader* reader_;
    DetailsWriter& details_;
    BuildLog& log_;
    std::string& message_;
    std::string namespace_;
    bool rootSeen_ = false;
    bool rootEnded_ = false;
    bool inJob_ = false;
    int jobDepth_ = 0;
    bool inCommand_ = false;
    uint32_t commands_ = 0;
    bool commandFailed_ = false;
    char lineStream_ = 0;  // 'o' or 'e' while inside a line element
    std::string lineEnd_;
    std::string text_;  // text of the element being read
    LineJoiner lines_;
};

bool LogReader::Fail(const std::string& what) {
    if (message_.empty()) message_ = what;
    return false;
}

std::string LogReader::Attribute(const char* name, bool& present) {
    xmlChar* value = xmlTextReaderGetAttribute(reader_, reinterpret_cast<const xmlChar*>(name));
    present = value != nullptr;
    std::string text(View(value));
    xmlFree(value);
    return text;
}

bool LogReader::InNamespace() { return View(xmlTextReaderConstNamespaceUri(reader_)) == namespace_; }

std::string Where(xmlTextReader* reader) { return " (line " + std::to_string(xmlTextReaderGetParserLineNumber(reader)) + ")"; }

bool LogReader::Run() {
    int result = 0;
    while ((result = xmlTextReaderRead(reader_)) == 1)
        if (!Node()) return false;
    if (result < 0) return Fail(rootSeen_ ? "the build log is cut short or damaged" : "not an XML document");
    if (!rootSeen_) return Fail("the file is empty: not a kestrel build log");
    if (!rootEnded_) return Fail("the build log is cut short");
    if (!details_.Good()) return Fail("cannot write the job details to a temporary file");
    return true;
}

bool LogReader::Node() {
    const int type = xmlTextReaderNodeType(reader_);
    const int depth = xmlTextReaderDepth(reader_);
    if (type == XML_READER_TYPE_ELEMENT) {
        const std::string_view name = View(xmlTextReaderConstLocalName(reader_));
        if (!rootSeen_) return StartElement(name, depth, false);
        if (!InNamespace()) return true;
        return StartElement(name, depth, xmlTextReaderIsEmptyElement(reader_) == 1);
    }
    if (type == XML_READER_TYPE_END_ELEMENT) {
        if (InNamespace()) EndElement(View(xmlTextReaderConstLocalName(reader_)), depth);
        return true;
    }
    if (type == XML_READER_TYPE_TEXT || type == XML_READER_TYPE_CDATA ||
        type == XML_READER_TYPE_SIGNIFICANT_WHITESPACE) {
        const std::string_view text = View(xmlTextReaderConstValue(reader_));
        if (lineStream_ != 0) lines_.Append(text);
        else if (text_.size() < (1u << 16)) text_ += text;
    }
    return true;
}

bool LogReader::StartElement(std::string_view name, int depth, bool empty) {
    text_.clear();
    if (depth == 0) return Root();
    if (depth == 1 && name == "machine") return Machine();
    if (depth == 2 && name == "hop") {
        if (!log_.connections.empty()) log_.connections.back().route = Attribute("url");
        return true;
    }
    if ((depth == 1 || depth == 2) && name == "job") {
        if (!Job(depth == 1)) return false;
        if (empty) EndJob();
        return true;
    }
    if (!inJob_) return true;
    if (depth == jobDepth_ + 1 && name == "command") {
        Command();
        if (empty) EndCommand();
    } else if (depth == jobDepth_ + 2 && inCommand_ && name == "parameter") {
        bool literal = false;
        const std::string value = Attribute("value", literal);
        details_.Add('P', literal ? value : "$" + Attribute("environment"));
    } else if (depth == jobDepth_ + 2 && inCommand_ && (name == "out" || name == "err")) {
        Line(name, empty);
    } else if (depth == jobDepth_ + 3 && lineStream_ != 0 && name == "InvalidByte") {
        lines_.Append("\xEF\xBF\xBD");  // U+FFFD
    } else if (depth == jobDepth_ + 3 && lineStream_ != 0 && name == "CodePoint") {
        lines_.AppendCodePoint(Attribute("value"));
    } else if (depth == jobDepth_ + 2 && inCommand_) {
        ProcessEvent(name);
    } else if (depth == jobDepth_ + 1 && name.ends_with("Environment")) {
        details_.Add('V', Attribute("name") + "=" + Attribute("value") + "  (" + std::string(name) + ")");
    } else if (depth == jobDepth_ + 1 && (name == "OutputResetError" || name == "OutputDownloadError")) {
        details_.Add('N', std::string(name) + ": " + Attribute("error"));
    }
    return true;
}

void LogReader::EndElement(std::string_view name, int depth) {
    if (depth == 0) {
        rootEnded_ = true;
        return;
    }
    if (!inJob_) return;
    if (depth == jobDepth_) return EndJob();
    if (depth == jobDepth_ + 1 && name == "command") return EndCommand();
    if (depth == jobDepth_ + 2 && lineStream_ != 0) {
        lines_.EndElement(lineEnd_);
        lineStream_ = 0;
        return;
    }
    if (depth == jobDepth_ + 1) TextElementEnd(name);
}

bool LogReader::Root() {
    rootSeen_ = true;
    namespace_ = View(xmlTextReaderConstNamespaceUri(reader_));
    if (View(xmlTextReaderConstLocalName(reader_)) != "BuildLog" || !namespace_.ends_with(kNamespaceEnd))
        return Fail("not a kestrel build log: the document is <" + std::string(View(xmlTextReaderConstName(reader_))) +
                    "> in namespace \"" + namespace_ + "\"");
    bool present = false;
    if (!ParseTimestamp(Attribute("StartTime", present), log_.start))
        return Fail("not a kestrel build log: the root has no valid StartTime");
    if (!ParseDuration(Attribute("RunningTime"), log_.runningTime)) log_.runningTime = 0;
    log_.buildHost = Attribute("BuildHost");
    return true;
}

bool LogReader::Machine() {
    Connection connection;
    connection.machine = Attribute("name");
    if (!ParseNumber(Attribute("PathID"), connection.pathId))
        return Fail("not a kestrel build log: a machine without a PathID" + Where(reader_));
    log_.connections.push_back(std::move(connection));
    return true;
}

size_t LogReader::ConnectionOf(const std::string& machine, uint32_t pathId) {
    // Connections are few; jobs name theirs by machine and path.
    for (size_t i = log_.connections.size(); i-- > 0;)
        if (log_.connections[i].machine == machine && log_.connections[i].pathId == pathId) return i;
    log_.connections.push_back(Connection{machine, pathId, ""});
    return log_.connections.size() - 1;
}

bool LogReader::Job(bool started) {
    if (inJob_) return Fail("not a kestrel build log: a job inside a job" + Where(reader_));
    JobRecord job;
    job.name = Attribute("name");
    job.started = started;
    uint32_t pathId = 0;
    const std::string status = Attribute("status");
    if (!ParseNumber(Attribute("PathID"), pathId) || !ParseTimestamp(Attribute("StartTime"), job.start) ||
        !ParseDuration(Attribute(started ? "RunningTime" : "duration"), job.running))
        return Fail("not a kestrel build log: job \"" + job.name + "\" lacks its PathID, StartTime or running time" +
                    Where(reader_));
    if (status == "succeeded") job.status = JobStatus::kSucceeded;
    else if (status == "failed") job.status = JobStatus::kFailed;
    else if (status == "error") job.status = JobStatus::kError;
    else return Fail("not a kestrel build log: job \"" + job.name + "\" has the status \"" + status + "\"" + Where(reader_));
    bool present = false;
    const std::string delay = Attribute("DelayTime", present);
    if (present && !ParseDuration(delay, job.delay)) job.delay = 0;
    job.errorReason = Attribute("ErrorReason");
    job.errorPath = Attribute("ErrorPath", present);
    if (present) job.errorReason += job.errorReason.empty() ? job.errorPath : " (" + job.errorPath + ")";
    if (!ParseNumber(Attribute("ErrorCode"), job.errorCode)) job.errorCode = 0;
    job.connection = ConnectionOf(Attribute("machine"), pathId);
    log_.jobs.push_back(std::move(job));
    inJob_ = true;
    jobDepth_ = xmlTextReaderDepth(reader_);
    commands_ = 0;
    details_.BeginJob();
    return true;
}

void LogReader::EndJob() {
    if (inCommand_) EndCommand();
    JobRecord& job = log_.jobs.back();
    details_.EndJob(job.detailsOffset, job.detailsLength);
    inJob_ = false;
}

void LogReader::Command() {
    inCommand_ = true;
    commandFailed_ = false;
    ++commands_;
    bool literal = false;
    const std::string executable = Attribute("executable", literal);
    details_.Add('C', literal ? executable : "$" + Attribute("ExecutableFromEnvironment"));
    bool present = false;
    const std::string directory = Attribute("directory", present);
    if (present) details_.Add('D', directory);
    const std::string error = Attribute("ErrorMessage", present);
    if (present) {
        const std::string code = Attribute("ErrorCode");
        details_.Add('R', "not started: " + error + (code.empty() ? "" : " (error " + code + ")"));
        commandFailed_ = true;
    }
}

void LogReader::EndCommand() {
    lines_.Flush(details_);
    if (commandFailed_) {
        details_.Add('F', "");
        JobRecord& job = log_.jobs.back();
        if (job.failedCommand == 0) job.failedCommand = commands_;
    }
    inCommand_ = false;
}

void LogReader::Line(std::string_view name, bool empty) {
    const char stream = name == "out" ? 'o' : 'e';
    bool hasEnd = false;
    lineEnd_ = Attribute("EOL", hasEnd);
    if (!hasEnd) lineEnd_.clear();
    lines_.StartElement(stream, details_);
    if (empty) return lines_.EndElement(lineEnd_);
    lineStream_ = stream;
}

void LogReader::ProcessEvent(std::string_view name) {
    lines_.Flush(details_);
    const std::string value = Attribute("value");
    const std::string elapsed = Attribute("elapsed");
    const std::string after = elapsed.empty() ? "" : " after " + elapsed + " s";
    if (name == "return") {
        details_.Add('R', "exit value " + value + after);
        if (value != "0") commandFailed_ = true;
    } else if (name == "signal") {
        details_.Add('R', "ended by signal " + value + after);
        commandFailed_ = true;
    } else if (name == "StartupFailed") {
        details_.Add('R', "could not start, error " + Attribute("ErrorCode") + after);
        commandFailed_ = true;
    } else {
        bool present = false;
        const std::string message = Attribute("message", present);
        details_.Add('R', std::string(name) + " " + value + after + (present ? ": " + message : ""));
    }
}

void LogReader::TextElementEnd(std::string_view name) {
    if (name == "output") details_.Add('O', text_);
    else if (name == "OutputError") details_.Add('N', "output error: " + Attribute("error") + " " + text_);
    else if (name == "ClientInputError" || name == "ClientInputErrorMessage" || name == "ClientOutputError")
        details_.Add('N', text_);
    text_.clear();
}

}  // namespace

bool ReadBuildLog(const std::string& path, DetailsWriter& details, BuildLog& log, std::string& message) {
    // No network, no entity expansion: the document is read as it is.
    std::unique_ptr<xmlTextReader, ReaderDeleter> reader(
        xmlReaderForFile(path.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (reader == nullptr) {
        message = "cannot open " + path;
        return false;
    }
    std::string parserError;
    xmlTextReaderSetStructuredErrorHandler(reader.get(), KeepFirstError, &parserError);
    LogReader logReader(reader.get(), details, log, message);
    const bool read = logReader.Run();
    if (!read && !parserError.empty()) message += ": " + parserError;
    return read;
}

}  // namespace kestrel::report
