#include "report/page_parts.h"

namespace kestrel::report {

// Jobs come as arrays: [name, lane, slot, status, start µs, running µs,
// details offset, details length, on the chain, error, failed command].
const char kPageScript[] = R"js(
"use strict";
(function () {
  const NAME = 0, LANE = 1, SLOT = 2, STATUS = 3, START = 4, RUN = 5, OFFSET = 6, LENGTH = 7, CHAIN = 8, REASON = 9, FAILED = 10;
  const STATUS_NAMES = ["succeeded", "failed", "error"];
  const ROW = 18, LINES_SHOWN = 2000, FAILED_LINES = 200, TABLE_ROW = 22;
  const data = JSON.parse(document.getElementById("job-data").textContent);
  const jobs = data.jobs, lanes = data.lanes;
  const span = Math.max(data.span, 1);
  let detailsText = null;

  function el(tag, cls, text) {
    const node = document.createElement(tag);
    if (cls) node.className = cls;
    if (text !== undefined) node.textContent = text;
    return node;
  }
  function seconds(us) {
    const s = us / 1e6;
    if (s < 60) return s.toFixed(s < 10 ? 2 : 1) + " s";
    if (s < 3600) return Math.floor(s / 60) + " min " + Math.round(s % 60) + " s";
    return Math.floor(s / 3600) + " h " + Math.round((s % 3600) / 60) + " min";
  }
  // One job's details, parsed only when asked for.
  function details(index) {
    if (detailsText === null) detailsText = document.getElementById("job-details").textContent;
    const job = jobs[index];
    const items = JSON.parse(detailsText.substr(job[OFFSET], job[LENGTH]));
    const result = { commands: [], notes: [], outputs: [], settings: [] };
    let command = null;
    for (const item of items) {
      const tag = item[0], text = item.slice(1);
      if (tag === "C") { command = { executable: text, directory: "", parameters: [], lines: [], failed: false }; result.commands.push(command); }
      else if (tag === "D" && command) command.directory = text;
      else if (tag === "P" && command) command.parameters.push(text);
      else if ((tag === "o" || tag === "e" || tag === "R") && command) command.lines.push(item);
      else if (tag === "F" && command) command.failed = true;
      else if (tag === "O") result.outputs.push(text);
      else if (tag === "V") result.settings.push(text);
      else if (tag === "N") result.notes.push(text);
    }
    return result;
  }
  function quoted(word) { return /^[\w@%+=:,./-]+$/.test(word) ? word : "'" + word.replace(/'/g, "'\\''") + "'"; }
  function outputBlock(lines, limit) {
    const pre = el("pre", "output");
    const from = Math.max(0, lines.length - limit);
    if (from > 0) pre.appendChild(el("span", "event", "… " + from + " earlier lines"));
    for (let i = from; i < lines.length; i++) {
      const tag = lines[i][0], text = lines[i].slice(1);
      if (tag === "e") pre.appendChild(el("span", "err", text));
      else if (tag === "R") pre.appendChild(el("span", "event", text));
      else pre.appendChild(document.createTextNode(text + "\n"));
    }
    return pre;
  }
  function commandBlock(command, limit) {
    const block = el("div", command.failed ? "command failed" : "command");
    const words = [command.executable].concat(command.parameters).map(quoted).join(" ");
    block.appendChild(el("div", "line", (command.directory ? "[" + command.directory + "] " : "") + "$ " + words));
    if (command.lines.length) block.appendChild(outputBlock(command.lines, limit));
    return block;
  }
  function jobTitle(job) {
    return job[NAME] + " (" + lanes[job[LANE]][0] + ", " + STATUS_NAMES[job[STATUS]] + ", " + seconds(job[RUN]) + ")";
  }

  // Failed jobs first, each with its error and the failing command's output.
  function showFailed() {
    const list = document.getElementById("failed-list");
    const failed = [];
    for (let i = 0; i < jobs.length; i++) if (jobs[i][STATUS] !== 0) failed.push(i);
    // Jobs whose commands failed before jobs the machines refused.
    failed.sort((a, b) => jobs[a][STATUS] - jobs[b][STATUS] || jobs[a][START] - jobs[b][START]);
    document.getElementById("failed").hidden = failed.length === 0;
    for (const index of failed.slice(0, 50)) {
      const job = jobs[index];
      const box = el("div", "failed-job " + STATUS_NAMES[job[STATUS]]);
      box.dataset.job = index;
      box.appendChild(el("h3", "", jobTitle(job)));
      const info = details(index);
      const reasons = (job[REASON] ? [job[REASON]] : []).concat(info.notes);
      for (const reason of reasons) box.appendChild(el("p", "reason", reason));
      const command = job[FAILED] > 0 ? info.commands[job[FAILED] - 1] : info.commands[info.commands.length - 1];
      if (command) box.appendChild(commandBlock(command, FAILED_LINES));
      list.appendChild(box);
      // The end of the output is where the failure shows.
      const pre = box.querySelector("pre");
      if (pre) pre.scrollTop = pre.scrollHeight;
    }
    if (failed.length > 50) list.appendChild(el("p", "", (failed.length - 50) + " more failed jobs are in the table."));
  }

  // The commands and output of one job, below the timeline.
  let selected = -1;
  function showJob(index) {
    selected = index;
    const job = jobs[index];
    const panel = document.getElementById("detail");
    panel.textContent = "";
    panel.hidden = false;
    panel.dataset.job = index;
    panel.appendChild(el("h3", "", jobTitle(job)));
    panel.appendChild(el("div", "", "started at " + seconds(job[START]) + (job[CHAIN] ? " · on the longest chain of waiting" : "")));
    const info = details(index);
    const notes = (job[REASON] ? [job[REASON]] : []).concat(info.notes);
    for (const note of notes) panel.appendChild(el("p", "notes", note));
    for (const setting of info.settings) panel.appendChild(el("div", "line", setting));
    for (const command of info.commands) {
      const block = commandBlock(command, LINES_SHOWN);
      if (command.lines.length > LINES_SHOWN) {
        const more = el("button", "", "show all " + command.lines.length + " lines");
        more.onclick = () => block.replaceChild(outputBlock(command.lines, Infinity), block.querySelector("pre"));
        block.appendChild(more);
      }
      panel.appendChild(block);
    }
    if (info.outputs.length) panel.appendChild(el("div", "", "outputs: " + info.outputs.join(", ")));
    drawTimeline();
    panel.scrollIntoView({ block: "nearest" });
  }

  // Timeline: lanes of slots; only the bars inside the visible window are drawn.
  const laneTop = [];
  const AXIS = 20;
  let height = 0;
  for (const lane of lanes) { laneTop.push(height); height += Math.max(1, lane[1]) * ROW + 6; }
  const byLane = lanes.map(() => []);
  for (let i = 0; i < jobs.length; i++) byLane[jobs[i][LANE]].push(i);
  let viewStart = 0, viewEnd = span;
  const view = document.getElementById("lanes-view");
  const canvas = document.getElementById("lanes");
  const labels = document.getElementById("lane-labels");
  const axis = document.getElementById("axis");
  canvas.style.height = height + "px";
  function drawLabels() {
    labels.textContent = "";
    labels.style.height = view.clientHeight + "px";
    for (let l = 0; l < lanes.length; l++) {
      const label = el("div", "lane-label", lanes[l][0]);
      label.style.top = (AXIS + laneTop[l] - view.scrollTop) + "px";
      label.title = lanes[l][0];
      labels.appendChild(label);
    }
  }
  function drawAxis(width) {
    axis.textContent = "";
    const step = niceStep((viewEnd - viewStart) / Math.max(1, width / 100));
    for (let t = Math.ceil(viewStart / step) * step; t <= viewEnd; t += step) {
      const mark = el("span", "", seconds(t));
      mark.style.left = ((t - viewStart) / (viewEnd - viewStart) * width) + "px";
      axis.appendChild(mark);
    }
  }
  function niceStep(raw) {
    const power = Math.pow(10, Math.floor(Math.log10(Math.max(raw, 1))));
    for (const m of [1, 2, 5, 10]) if (m * power >= raw) return m * power;
    return 10 * power;
  }
  function drawTimeline() {
    const width = view.clientWidth;
    const scale = width / (viewEnd - viewStart);
    const top = view.scrollTop - AXIS, bottom = top + view.clientHeight;
    const fragment = document.createDocumentFragment();
    for (let l = 0; l < lanes.length; l++) {
      const laneBottom = laneTop[l] + Math.max(1, lanes[l][1]) * ROW;
      const sep = el("div", "lane-sep");
      sep.style.top = (laneBottom + 3) + "px";
      fragment.appendChild(sep);
      if (laneBottom < top || laneTop[l] > bottom) continue;
      for (const index of byLane[l]) {
        const job = jobs[index];
        const y = laneTop[l] + job[SLOT] * ROW;
        if (y + ROW < top || y > bottom) continue;
        if (job[START] + job[RUN] < viewStart || job[START] > viewEnd) continue;
        const bar = el("div", "bar " + STATUS_NAMES[job[STATUS]] + (job[CHAIN] ? " chain" : "") + (index === selected ? " selected" : ""));
        const x = (job[START] - viewStart) * scale;
        const w = Math.max(1, job[RUN] * scale);
        bar.style.left = x + "px";
        bar.style.width = w + "px";
        bar.style.top = (y + 2) + "px";
        bar.title = jobTitle(job);
        bar.dataset.job = index;
        bar.dataset.name = job[NAME];
        if (w > 40) bar.textContent = job[NAME];
        fragment.appendChild(bar);
      }
    }
    canvas.textContent = "";
    canvas.appendChild(fragment);
    drawAxis(width);
    drawLabels();
  }
  canvas.addEventListener("click", (event) => {
    const bar = event.target.closest(".bar");
    if (bar) showJob(Number(bar.dataset.job));
  });
  view.addEventListener("scroll", () => requestAnimationFrame(drawTimeline));
  window.addEventListener("resize", () => requestAnimationFrame(drawTimeline));
  function zoom(factor, at) {
    const centre = viewStart + (viewEnd - viewStart) * at;
    const length = Math.min(span, Math.max(1000, (viewEnd - viewStart) * factor));
    viewStart = Math.max(0, Math.min(span - length, centre - length * at));
    viewEnd = viewStart + length;
    drawTimeline();
  }
  view.addEventListener("wheel", (event) => {
    const rect = view.getBoundingClientRect();
    const at = (event.clientX - rect.left) / rect.width;
    if (event.shiftKey || Math.abs(event.deltaX) > Math.abs(event.deltaY)) {
      const shift = (viewEnd - viewStart) * (event.deltaX || event.deltaY) / rect.width;
      const length = viewEnd - viewStart;
      viewStart = Math.max(0, Math.min(span - length, viewStart + shift));
      viewEnd = viewStart + length;
      drawTimeline();
    } else if (event.ctrlKey || event.altKey) {
      zoom(event.deltaY > 0 ? 1.25 : 0.8, at);
    } else return;
    event.preventDefault();
  }, { passive: false });
  document.getElementById("zoom-in").onclick = () => zoom(0.5, 0.5);
  document.getElementById("zoom-out").onclick = () => zoom(2, 0.5);
  document.getElementById("zoom-fit").onclick = () => { viewStart = 0; viewEnd = span; drawTimeline(); };

  // The table: sortable, only the rows in view are in the page.
  const tableBody = document.getElementById("table-body");
  const tableRows = document.getElementById("table-rows");
  const keys = {
    name: (i) => jobs[i][NAME], machine: (i) => lanes[jobs[i][LANE]][0],
    status: (i) => (jobs[i][STATUS] === 0 ? 1 : 0), start: (i) => jobs[i][START], running: (i) => jobs[i][RUN],
  };
  let order = jobs.map((_, i) => i);
  let sortKey = "status", sortDown = false;
  function sortTable(key) {
    sortDown = key === sortKey ? !sortDown : false;
    sortKey = key;
    const get = keys[key];
    const collator = new Intl.Collator(undefined, { numeric: true });
    order.sort((a, b) => {
      const x = get(a), y = get(b);
      const c = typeof x === "string" ? collator.compare(x, y) : x - y;
      return (sortDown ? -c : c) || jobs[a][START] - jobs[b][START];
    });
    for (const head of document.querySelectorAll("#table-head div")) {
      head.classList.toggle("sorted", head.dataset.key === key);
      head.classList.toggle("down", head.dataset.key === key && sortDown);
    }
    drawTable();
  }
  function drawTable() {
    tableRows.style.height = (order.length * TABLE_ROW) + "px";
    const first = Math.floor(tableBody.scrollTop / TABLE_ROW);
    const last = Math.min(order.length, first + Math.ceil(tableBody.clientHeight / TABLE_ROW) + 1);
    const fragment = document.createDocumentFragment();
    for (let r = first; r < last; r++) {
      const index = order[r], job = jobs[index];
      const row = el("div", "row");
      row.style.top = (r * TABLE_ROW) + "px";
      row.dataset.job = index;
      const name = el("div", "", job[NAME]);
      if (job[CHAIN]) name.appendChild(el("span", "chain-mark", " ◆"));
      row.appendChild(name);
      row.appendChild(el("div", "", lanes[job[LANE]][0]));
      row.appendChild(el("div", "status-" + STATUS_NAMES[job[STATUS]], STATUS_NAMES[job[STATUS]]));
      row.appendChild(el("div", "", seconds(job[START])));
      row.appendChild(el("div", "", seconds(job[RUN])));
      fragment.appendChild(row);
    }
    tableRows.textContent = "";
    tableRows.appendChild(fragment);
  }
  document.getElementById("table-head").addEventListener("click", (event) => {
    if (event.target.dataset.key) sortTable(event.target.dataset.key);
  });
  tableBody.addEventListener("scroll", () => requestAnimationFrame(drawTable));
  tableRows.addEventListener("click", (event) => {
    const row = event.target.closest(".row");
    if (row) showJob(Number(row.dataset.job));
  });

  showFailed();
  drawTimeline();
  sortKey = "";
  sortTable("status");
  // #open=NAME clicks the bar of that job once the page is drawn (for links
  // into a report, and for checking the page without a mouse).
  const wanted = new URLSearchParams(location.hash.slice(1)).get("open");
  if (wanted !== null) {
    const bar = Array.from(canvas.querySelectorAll(".bar")).find((b) => b.dataset.name === wanted);
    if (bar) bar.click();
  }
  document.body.dataset.ready = "true";
  document.body.dataset.readyAfterMs = String(Math.round(performance.now()));
})();
)js";

}  // namespace kestrel::report
