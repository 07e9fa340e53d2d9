#include "report/page_parts.h"

namespace kestrel::report {

const char kPageStyle[] = R"css(
:root { --ok: #3c9a5f; --failed: #d2433b; --error: #c07a12; --chain: #1d1d1f; --ink: #1d1d1f; --muted: #6b6b70; --line: #e2e2e6; }
* { box-sizing: border-box; }
body { font: 14px/1.4 system-ui, sans-serif; color: var(--ink); margin: 0; padding: 16px 24px; background: #fafafb; }
h1 { font-size: 20px; margin: 0 0 4px; }
h2 { font-size: 16px; margin: 20px 0 8px; }
#summary { margin: 0; color: var(--muted); }
#summary b { color: var(--ink); }
.failed-job { background: #fff; border: 1px solid var(--line); border-left: 4px solid var(--failed); padding: 8px 12px; margin-bottom: 8px; }
.failed-job.error { border-left-color: var(--error); }
.failed-job h3 { margin: 0 0 4px; font-size: 14px; }
.reason { color: var(--failed); margin: 0 0 6px; }
pre.output { margin: 0; max-height: 320px; overflow: auto; background: #f3f3f5; padding: 6px 8px; font: 12px/1.35 ui-monospace, monospace; white-space: pre-wrap; }
pre.output .err { color: #a3261f; background: #fbe9e8; display: block; }
pre.output .err::before { content: "stderr \2502 "; color: #c9504a; }
pre.output .event { color: var(--muted); font-style: italic; display: block; }
#controls { margin-bottom: 6px; display: flex; gap: 6px; align-items: center; color: var(--muted); }
#controls button { font: inherit; padding: 1px 8px; }
.legend { display: inline-block; width: 10px; height: 10px; margin: 0 3px 0 10px; vertical-align: -1px; }
#timeline { display: flex; border: 1px solid var(--line); background: #fff; }
#lane-labels { flex: 0 0 180px; border-right: 1px solid var(--line); overflow: hidden; position: relative; }
#lanes-view { flex: 1; position: relative; overflow-y: auto; overflow-x: hidden; max-height: 480px; }
#axis { position: sticky; top: 0; height: 20px; background: #fff; border-bottom: 1px solid var(--line); z-index: 2; }
#axis span { position: absolute; top: 2px; font-size: 11px; color: var(--muted); transform: translateX(-50%); }
#lanes { position: relative; }
.lane-label { position: absolute; left: 0; right: 0; padding: 2px 6px; font-size: 12px; border-bottom: 1px solid var(--line); white-space: nowrap; overflow: hidden; text-overflow: ellipsis; }
.lane-sep { position: absolute; left: 0; right: 0; border-bottom: 1px solid var(--line); }
.bar { position: absolute; height: 14px; border-radius: 2px; cursor: pointer; min-width: 1px; overflow: hidden; font-size: 10px; color: #fff; padding-left: 2px; white-space: nowrap; }
.bar.succeeded { background: var(--ok); }
.bar.failed { background: var(--failed); }
.bar.error { background: var(--error); }
.bar.chain { box-shadow: inset 0 0 0 2px var(--chain); }
.bar.selected { outline: 2px solid #2b6cd4; z-index: 1; }
#detail { background: #fff; border: 1px solid var(--line); padding: 8px 12px; margin-top: 10px; }
#detail h3 { margin: 0 0 6px; font-size: 15px; }
.command { margin: 8px 0; }
.command .line { font: 12px ui-monospace, monospace; margin-bottom: 4px; word-break: break-all; }
.command.failed .line { color: var(--failed); }
.notes { color: var(--failed); }
#table { border: 1px solid var(--line); background: #fff; }
#table-head, .row { display: grid; grid-template-columns: 3fr 2fr 1fr 1fr 1fr; }
#table-head div { font-weight: 600; padding: 4px 8px; cursor: pointer; border-bottom: 1px solid var(--line); user-select: none; }
#table-head div.sorted::after { content: " \25B2"; font-size: 10px; }
#table-head div.sorted.down::after { content: " \25BC"; }
#table-body { height: 400px; overflow-y: auto; position: relative; }
.row { position: absolute; left: 0; right: 0; height: 22px; cursor: pointer; }
.row:hover { background: #f0f4fb; }
.row div { padding: 2px 8px; white-space: nowrap; overflow: hidden; text-overflow: ellipsis; }
.row .status-failed { color: var(--failed); font-weight: 600; }
.row .status-error { color: var(--error); font-weight: 600; }
.chain-mark { color: var(--chain); font-weight: 700; }
)css";

}  // namespace kestrel::report
