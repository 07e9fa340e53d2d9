// The kv:machine element of a connection: its start tag from the log's
// header, a kv:hop element per leg of the connection path, the version the
// last hop reported, and the connection and protocol errors.
#include "logs/build_log_records.h"
#include "logs/connection_log.h"
#include "platform/socket_address.h"

namespace kestrel {

namespace {

BuildLogConnection& Connection(void* context) { return *static_cast<BuildLogConnection*>(context); }

XmlWriter& Document(BuildLogConnection& c) { return c.generation->document; }

LogAction Written(BuildLogConnection& c) {
    return Document(c).ok() ? LogAction::Continue : StopWithWriteFailure();
}

// `      <kv:error xml:space="preserve" type="TYPE" time="T" code="C">`; the
// code only when there is one.
void ErrorStart(BuildLogConnection& c, const char* type, int64_t time, uint32_t code) {
    XmlWriter& w = Document(c);
    const LocalTime local{time, ErrorTimeBias(c.generation->settings)};
    w.Raw("      <kv:error xml:space=\"preserve\" type=\"").Raw(type);
    w.Format("\" time=\"{0}\"", {{FormatTimestamp, &local}});
    if (code != 0) w.Format(" code=\"{0}\"", {{FormatU32, &code}});
    w.Raw(">");
}

void HopAddress(XmlWriter& w, const LogText& address) {
    if (address.length == 0) {
        w.Raw("\"");
        return;
    }
    char text[platform::kSocketAddressTextRoom];
    const bool known = platform::FormatSocketAddress(address.bytes, address.length, text, sizeof text);
    w.Raw("\" to=\"").Escaped(known ? text : "unknown").Raw("\"");
}

// The element of a hop that ended with its own error.
void HopError(BuildLogConnection& c, const char* type, int64_t time, uint32_t code, XmlText text) {
    Document(c).Raw("\">\n");
    ErrorStart(c, type, time, code);
    Document(c).Escaped(text).Raw("</kv:error>\n    </kv:hop>\n");
}

}  // namespace

bool CloseOpenHop(BuildLogConnection& c) {
    if (!c.hopOpen) return true;
    c.hopOpen = false;
    return Document(c).Raw("/>\n").ok();
}

LogAction OnHeader(void* context, const LogHeaderRecord& r) {
    BuildLogConnection& c = Connection(context);
    if (!c.machineName.Set(r.machineName)) return StopWithMemoryFailure();
    c.pathId = r.pathId;
    Document(c).Raw("  <kv:machine name=\"").Escaped(c.machineName.xml()).Format("\" PathID=\"{0}\">\n",
                                                                                  {{FormatU32, &r.pathId}});
    return Written(c);
}

LogAction OnHop(void* context, const LogHopRecord& r) {
    BuildLogConnection& c = Connection(context);
    CloseOpenHop(c);
    XmlWriter& w = Document(c);
    w.Raw("    <kv:hop url=\"").Escaped(Xml(r.url));
    switch (r.kind) {
    case 0:
    case 5:
        HopAddress(w, r.address);
        if (r.kind == 5) w.Raw(" SshCommandLine=\"").Escaped(Xml(r.sshCommandLine)).Raw("\"");
        c.hopOpen = true;
        break;
    case 1:
        HopError(c, "connection", r.time, 0, Utf8Text("The URL is invalid for the tunnel"));
        break;
    case 2:
        HopError(c, "protocol", r.time, 0, Utf8Text("A corrupt tunnel request was made"));
        break;
    case 3:
        HopError(c, "protocol", r.time, 0, XmlText{});
        break;
    default:
        HopError(c, "connection", r.time, r.errorCode, Xml(r.text));
        break;
    }
    return Written(c);
}

LogAction OnVersion(void* context, const LogVersionRecord& r) {
    BuildLogConnection& c = Connection(context);
    XmlWriter& w = Document(c);
    // A version belongs to the last hop's start tag; with none open it keeps
    // an element of its own, so that the document stays well-formed.
    if (!c.hopOpen) w.Raw("    <kv:MachineVersion");
    w.Format(" MajorVersion=\"{0}\" MinorVersion=\"{1}\" build=\"{2}\"",
             {{FormatU16, &r.major}, {FormatU16, &r.minor}, {FormatU16, &r.build}});
    if (r.patch != 0) w.Format(" patch=\"{0}\"", {{FormatU32, &r.patch}});
    if (!c.hopOpen) w.Raw("/>\n");
    return Written(c);
}

LogAction OnConnectionError(void* context, const LogConnectionErrorRecord& r) {
    BuildLogConnection& c = Connection(context);
    XmlWriter& w = Document(c);
    const char* type = r.kind == kLogConnectionError ? "connection" : "protocol";
    // With no hop to carry it, the error gets a wrapper of its own.
    const bool inHop = c.hopOpen;
    c.hopOpen = false;
    w.Raw(inHop ? ">\n" : "    <kv:MachineError>\n");
    ErrorStart(c, type, r.time, r.errorCode);
    w.Escaped(Xml(r.message)).Raw("</kv:error>\n").Raw(inHop ? "    </kv:hop>\n" : "    </kv:MachineError>\n");
    return Written(c);
}

}  // namespace kestrel
