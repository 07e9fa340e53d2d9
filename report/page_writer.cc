#include "report/page_writer.h"

#include <algorithm>
#include <map>
#include <vector>

#include "report/chain.h"
#include "report/json_text.h"
#include "report/log_values.h"
#include "report/page_parts.h"
#include "report/slots.h"

namespace kestrel::report {
namespace {

std::string LaneName(const Connection& connection) {
    std::string name = connection.machine;
    if (!connection.route.empty()) name += " via " + connection.route;
    return name;
}

std::string SummaryLine(const Summary& summary) {
    std::string text;
    const size_t total = summary.succeeded + summary.failed + summary.errors;
    text += "<b>" + std::to_string(total) + (total == 1 ? " job" : " jobs") + "</b>: ";
    text += std::to_string(summary.succeeded) + " succeeded, ";
    text += std::to_string(summary.failed) + " failed, ";
    text += std::to_string(summary.errors) + (summary.errors == 1 ? " error" : " errors");
    text += " · wall time <b>" + SecondsText(summary.wallTime) + "</b>";
    if (!summary.busiestMachine.empty()) {
        text += " · busiest machine <b>";
        AppendHtmlText(text, summary.busiestMachine);
        text += "</b> (" + SecondsText(summary.busiestTime) + " of jobs)";
    }
    return text;
}

// Ticks as whole microseconds for the page's data.
std::string Micro(int64_t ticks) { return std::to_string(ticks / 10); }

// The page's data: lanes and one array per job (see the script for the order).
std::string JobData(const BuildLog& log) {
    std::vector<std::vector<size_t>> byConnection(log.connections.size());
    for (size_t i = 0; i < log.jobs.size(); ++i) byConnection[log.jobs[i].connection].push_back(i);
    std::vector<uint32_t> slots;
    std::string data = "{\"lanes\":[";
    for (size_t c = 0; c < log.connections.size(); ++c) {
        uint32_t count = 0;
        AssignSlots(log.jobs, byConnection[c], slots, count);
        if (c > 0) data += ',';
        data += '[';
        AppendJsonString(data, LaneName(log.connections[c]));
        data += "," + std::to_string(count) + "]";
    }
    slots.resize(log.jobs.size(), 0);
    const std::vector<bool> chain = WaitingChain(log.jobs);
    int64_t span = log.runningTime;
    data += "],\"jobs\":[";
    for (size_t i = 0; i < log.jobs.size(); ++i) {
        const JobRecord& job = log.jobs[i];
        span = std::max(span, job.End() - log.start);
        data += i == 0 ? "\n[" : ",\n[";
        AppendJsonString(data, job.name);
        data += "," + std::to_string(job.connection) + "," + std::to_string(slots[i]) + "," +
                std::to_string(static_cast<int>(job.status)) + "," + Micro(job.start - log.start) + "," +
                Micro(job.running) + "," + std::to_string(job.detailsOffset) + "," +
                std::to_string(job.detailsLength) + "," + (chain[i] ? "1" : "0") + ",";
        std::string reason = job.errorReason;
        if (job.errorCode != 0) reason += " (error " + std::to_string(job.errorCode) + ")";
        AppendJsonString(data, reason);
        data += "," + std::to_string(job.failedCommand) + "]";
    }
    data += "],\"span\":" + Micro(span) + "}";
    return data;
}

bool Put(std::FILE* out, const std::string& text) { return std::fwrite(text.data(), 1, text.size(), out) == text.size(); }

}  // namespace

Summary Summarise(const BuildLog& log) {
    Summary summary;
    std::map<std::string, int64_t> busy;
    int64_t lastEnd = log.start;
    for (const JobRecord& job : log.jobs) {
        if (job.status == JobStatus::kSucceeded) ++summary.succeeded;
        else if (job.status == JobStatus::kFailed) ++summary.failed;
        else ++summary.errors;
        busy[log.connections[job.connection].machine] += job.running;
        lastEnd = std::max(lastEnd, job.End());
    }
    summary.wallTime = std::max(log.runningTime, lastEnd - log.start);
    for (const auto& [machine, time] : busy) {
        if (summary.busiestMachine.empty() || time > summary.busiestTime) {
            summary.busiestMachine = machine;
            summary.busiestTime = time;
        }
    }
    return summary;
}

bool WritePage(const BuildLog& log, DetailsWriter& details, std::FILE* out) {
    std::string head = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>Build report";
    if (!log.buildHost.empty()) {
        head += " – ";
        AppendHtmlText(head, log.buildHost);
    }
    head += "</title>\n<style>";
    head += kPageStyle;
    head += "</style>\n</head>\n<body>\n<header><h1>Build report</h1>\n<p id=\"summary\">";
    head += SummaryLine(Summarise(log));
    head += "</p></header>\n"
            "<section id=\"failed\"><h2>Failed jobs</h2><div id=\"failed-list\"></div></section>\n"
            "<section><h2>Timeline</h2>\n<div id=\"controls\"><button id=\"zoom-in\">+</button>"
            "<button id=\"zoom-out\">−</button><button id=\"zoom-fit\">fit</button>"
            "<span>ctrl+wheel zooms, shift+wheel scrolls; click a bar for its commands</span>"
            "<span><i class=\"legend\" style=\"background:var(--ok)\"></i>succeeded"
            "<i class=\"legend\" style=\"background:var(--failed)\"></i>failed"
            "<i class=\"legend\" style=\"background:var(--error)\"></i>error"
            "<i class=\"legend\" style=\"box-shadow:inset 0 0 0 2px var(--chain)\"></i>longest chain of waiting</span></div>\n"
            "<div id=\"timeline\"><div id=\"lane-labels\"></div><div id=\"lanes-view\"><div id=\"axis\"></div>"
            "<div id=\"lanes\"></div></div></div>\n"
            "<section id=\"detail\" hidden></section></section>\n"
            "<section><h2>Jobs</h2>\n<div id=\"table\"><div id=\"table-head\"><div data-key=\"name\">Name</div>"
            "<div data-key=\"machine\">Machine</div><div data-key=\"status\">Status</div>"
            "<div data-key=\"start\">Start</div><div data-key=\"running\">Running time</div></div>"
            "<div id=\"table-body\"><div id=\"table-rows\"></div></div></div></section>\n"
            "<script type=\"application/json\" id=\"job-data\">";
    head += JobData(log);
    head += "</script>\n<script type=\"application/json\" id=\"job-details\">";
    if (!Put(out, head) || !details.CopyTo(out)) return false;
    std::string tail = "</script>\n<script>";
    tail += kPageScript;
    tail += "</script>\n</body>\n</html>\n";
    return Put(out, tail);
}

}  // namespace kestrel::report
