// Renders the installation's state as the view pushes it: what needs the
// operator first, then each receiver with its antenna and whether its matrix
// output shows it, the matrices, the history and the CCO's registrations.
// Only rows whose text changed are touched, so that a thousand receivers do
// not cost a redraw of the page per refresh.
'use strict';

const view = { state: null, stream: null, pollTimer: null, historyLatest: 0, historyBusy: false, history: [] };

function esc(text) {
  return String(text).replace(/[&<>"']/g, c => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' }[c]));
}

function age(state, when) {
  if (when === undefined || when === null) return 'never';
  const seconds = Math.max(0, (state.now - when) / 1000);
  if (seconds < Math.max(1.5, (state.refreshMs * 1.5) / 1000)) return 'now';
  if (seconds < 120) return `${Math.round(seconds)} s ago`;
  return new Date(when).toLocaleTimeString();
}

function badge(ok, okText, badText, waiting) {
  if (waiting) return `<span class="badge waiting">${esc(waiting)}</span>`;
  return ok ? `<span class="badge ok">${esc(okText)}</span>` : `<span class="badge bad">${esc(badText)}</span>`;
}

// Brings `parent`'s children in line with `items` ({key, attrs, html}) in
// that order: a child whose attributes and content are unchanged is left as
// it is, so open details, selections and scroll positions survive.
function patchChildren(parent, tag, items) {
  const old = new Map();
  for (const child of Array.from(parent.children)) {
    if (child._key !== undefined) old.set(child._key, child);
    else child.remove();
  }
  let index = 0;
  for (const item of items) {
    let el = old.get(item.key);
    old.delete(item.key);
    if (!el) {
      el = document.createElement(tag);
      el._key = item.key;
    }
    const attrs = JSON.stringify(item.attrs || {});
    if (el._attrs !== attrs) {
      for (const name of el.getAttributeNames()) el.removeAttribute(name);
      for (const [name, value] of Object.entries(item.attrs || {})) el.setAttribute(name, value);
      el._attrs = attrs;
    }
    if (el._html !== item.html) {
      el.innerHTML = item.html;
      el._html = item.html;
    }
    if (parent.children[index] !== el) parent.insertBefore(el, parent.children[index] || null);
    index++;
  }
  for (const el of old.values()) el.remove();
}

function setHtml(id, html) {
  const el = document.getElementById(id);
  if (el._html !== html) {
    el.innerHTML = html;
    el._html = html;
  }
}

// Large matrices are shown as text only: a grid of that size helps nobody.
const maxGridCells = 4096;

function renderGrid(m) {
  if (!m.grid) return '<p class="note">The texts are not in a format this view knows; shown as they came.</p>';
  if (m.inputs * m.outputs > maxGridCells) return '<p class="note">Too many ports for a grid.</p>';
  const labels = m.labels || { outputs: {}, inputs: {} };
  const ranged = new Set(m.grid.ranges.map(r => `${r.input}/${r.output}`));
  let html = '<table class="grid"><thead><tr><th>in \\ out</th>';
  for (let o = 1; o <= m.outputs; o++) {
    const name = labels.outputs[o];
    html += `<th data-output="${o}">${o}${name ? `<div class="label">${esc(name)}</div>` : ''}</th>`;
  }
  html += '</tr></thead><tbody>';
  for (let i = 1; i <= m.inputs; i++) {
    const name = labels.inputs[i];
    html += `<tr><th data-input="${i}">${i}${name ? ` <span class="label">${esc(name)}</span>` : ''}</th>`;
    for (let o = 1; o <= m.outputs; o++) {
      const on = m.grid.inputOfOutput[o - 1] === i;
      const classes = [on ? 'on' : '', ranged.has(`${i}/${o}`) ? 'range' : ''].join(' ').trim();
      html += `<td data-in="${i}" data-out="${o}"${classes ? ` class="${classes}"` : ''}>${on ? '&#9679;' : ''}</td>`;
    }
    html += '</tr>';
  }
  html += '</tbody></table>';
  if (m.grid.ranges.length) {
    html += '<table class="ranges"><thead><tr><th>output</th><th>input</th><th>range</th></tr></thead><tbody>';
    for (const r of m.grid.ranges) html += `<tr><td>${r.output}</td><td>${r.input}</td><td class="mono">${esc(r.start)} .. ${esc(r.stop)}</td></tr>`;
    html += '</tbody></table>';
  }
  return html;
}

function renderMatrices(state) {
  const box = document.getElementById('matrices');
  if (!state.matrices.length) {
    setHtml('matrices-empty', '<p class="empty">none registered</p>');
    patchChildren(box, 'div', []);
    return;
  }
  setHtml('matrices-empty', '');
  patchChildren(box, 'div', state.matrices.map(m => {
    const status = badge(m.answering, 'answering', 'not answering', m.asked ? '' : 'asking');
    let html = `<h3>${esc(m.label)} <span class="meta">(${esc(m.subsystem)})</span> ${status}</h3>`;
    if (m.error) html += `<p class="error matrix-error">${esc(m.error)}</p>`;
    html += `<p class="meta">last seen ${esc(age(state, m.lastSeen))}</p>`;
    if (m.lastSeen) {
      html += `<p>${esc(m.inputs)} inputs &times; ${esc(m.outputs)} outputs, init ${m.init ? 'true' : 'false'}</p>`;
      html += renderGrid(m);
      html += `<details><summary class="meta">texts as reported</summary><div class="meta">connectionData</div>` +
        `<pre class="connection-data">${esc(m.connectionData) || '&nbsp;'}</pre>` +
        `<div class="meta">statusData</div><pre class="status-data">${esc(m.statusData) || '&nbsp;'}</pre></details>`;
    }
    return { key: m.name, attrs: { class: `card matrix${m.answering ? '' : ' stale'}`, 'data-matrix': m.name }, html };
  }));
}

const absent = '<span class="absent">absent</span>';

function shown(value, format) {
  return value === null || value === undefined ? absent : format ? format(value) : esc(value);
}

function syncBadge(sync) {
  if (sync.state === 'in sync') return '<span class="badge ok">in sync</span>';
  if (sync.state === 'out of sync') return '<span class="badge bad">out of sync</span>';
  if (sync.state === 'settling') return '<span class="badge waiting">settling</span>';
  return '<span class="badge quiet">not judged</span>';
}

function renderReceivers(state) {
  document.getElementById('receivers-empty').hidden = state.receivers.length > 0;
  patchChildren(document.getElementById('receiver-rows'), 'tr', state.receivers.map(r => {
    const t = r.tree;
    let tree;
    if (t.answering === undefined) tree = badge(false, '', '', 'asking');
    else tree = badge(t.answering, 'answers', 'not answering');
    if (t.answering === false && t.error) tree += ` <span class="meta">${esc(t.error)}</span>`;
    const d = r.driver;
    const told = t.answering !== undefined && d.path;
    const flag = v => (v ? 'yes' : 'no');
    const driver = told
      ? `uses matrix: ${shown(d.usingAntennaMatrix, flag)}<br>occupied: ${shown(d.driverOccupied, flag)}` +
        (d.matrixState ? `<br><span class="mono matrix-state">${esc(d.matrixState)}</span>` : '')
      : '';
    const html =
      `<td><strong>${esc(r.name)}</strong><div class="meta">${esc(r.subsystem)} &middot; ` +
      `<span class="mono">${esc(r.host)}:${esc(r.port)}</span></div></td>` +
      `<td class="antenna">${told ? shown(d.antenna) : ''}</td>` +
      `<td class="input">${told ? shown(d.input) : ''}</td>` +
      `<td class="output">${told ? shown(d.output) : ''}</td>` +
      `<td class="sync">${syncBadge(r.sync)} <span class="reason">${esc(r.sync.reason)}</span></td>` +
      `<td class="driver-error">${d.lastDriverError ? `<span class="error">${esc(d.lastDriverError)}</span>` : ''}</td>` +
      `<td class="driver">${driver}</td>` +
      `<td class="tree-status">${tree}</td>` +
      `<td class="meta">${esc(age(state, t.lastSeen))}</td>`;
    const attention = r.attention && r.attention.length ? 'attention' : '';
    return { key: `${r.subsystem}/${r.name}`, attrs: { 'data-receiver': r.name, class: attention }, html };
  }));
}

function renderAttention(state) {
  const items = state.attention || [];
  const count = document.getElementById('attention-count');
  count.className = `badge ${items.length ? 'bad' : 'ok'}`;
  count.textContent = items.length ? `${items.length} need${items.length === 1 ? 's' : ''} attention` : 'all well';
  document.getElementById('attention-section').hidden = items.length === 0;
  patchChildren(document.getElementById('attention'), 'li', items.map(a => ({
    key: `${a.kind}:${a.subject}`,
    attrs: { 'data-kind': a.kind, 'data-subject': a.subject },
    html: `<strong>${esc(a.subject)}</strong>: ${a.reasons.map(esc).join('; ')}`,
  })));
}

function renderTree(state) {
  const c = state.cco;
  const name = v => (v === null || v === undefined ? '<span class="note">not available</span>' : esc(v));
  let html = `<p>System ${name(c.system)}, own subsystem ${name(c.subsystem)}, workstation ${name(c.workstation)}</p>`;
  if (!state.subsystems.length) return html + '<p class="empty">no subsystem read yet</p>';
  for (const s of state.subsystems) {
    html += `<div class="subsystem" data-subsystem="${esc(s.name)}"><h3>Subsystem ${esc(s.name)} <span class="meta mono">${esc(s.path)}</span></h3>`;
    html += '<table><thead><tr><th>workstation</th><th>registered below it</th></tr></thead><tbody>';
    for (const w of s.workstations) {
      const entries = w.entries.length ? esc(w.entries.join(', ')) : '<span class="note">nothing</span>';
      html += `<tr><td>${esc(w.name)}</td><td class="mono">${entries}${w.error ? ` <span class="error">${esc(w.error)}</span>` : ''}</td></tr>`;
    }
    if (!s.workstations.length) html += '<tr><td colspan="2" class="note">no workstations</td></tr>';
    html += '</tbody></table>';
    for (const cat of s.categories) {
      html += `<p><span class="mono">${esc(cat.path)}</span>: ${cat.objects.length} registered` +
        `${cat.truncated ? ' (list cut short)' : ''}${cat.error ? ` <span class="error">${esc(cat.error)}</span>` : ''}</p>`;
      if (!cat.objects.length) continue;
      html += '<table class="objects"><thead><tr><th>object</th><th>values</th></tr></thead><tbody>';
      for (const o of cat.objects) {
        const values = o.values.map(v => `<span class="mono">${esc(v)}</span>`).join(' &middot; ');
        html += `<tr data-object="${esc(o.name)}"><td>${esc(o.name)}</td><td>${values}${o.error ? ` <span class="error">${esc(o.error)}</span>` : ''}</td></tr>`;
      }
      html += '</tbody></table>';
    }
    html += '</div>';
  }
  return html;
}

function when(ms) {
  const d = new Date(ms);
  const today = new Date().toDateString() === d.toDateString();
  return today ? d.toLocaleTimeString() : d.toLocaleString();
}

function historyRow(e) {
  const tr = document.createElement('tr');
  tr.dataset.kind = e.kind;
  tr.dataset.about = e.receiver;
  tr.innerHTML = `<td class="meta">${esc(when(e.time))}</td><td><span class="kind">${esc(e.kind)}</span></td>` +
    `<td>${esc(e.subject)}</td><td>${esc(e.text)}</td>`;
  return tr;
}

function applyHistoryFilter() {
  const receiver = document.getElementById('history-filter').value;
  for (const row of document.getElementById('history-rows').children)
    row.hidden = receiver !== '' && row.dataset.about !== receiver;
  const csv = document.getElementById('history-csv');
  csv.href = receiver ? `/api/history.csv?receiver=${encodeURIComponent(receiver)}` : '/api/history.csv';
}

function updateHistoryFilter() {
  const select = document.getElementById('history-filter');
  const names = new Set(view.state ? view.state.receivers.map(r => r.name) : []);
  for (const e of view.history) if (e.receiver) names.add(e.receiver);
  const wanted = Array.from(names).sort();
  const have = Array.from(select.options).slice(1).map(o => o.value);
  if (JSON.stringify(wanted) === JSON.stringify(have)) return;
  const current = select.value;
  while (select.options.length > 1) select.remove(1);
  for (const name of wanted) select.add(new Option(name, name));
  select.value = wanted.includes(current) ? current : '';
}

// New events are put on top; the list never holds more than the view keeps.
function fetchHistory() {
  if (view.historyBusy) return;
  view.historyBusy = true;
  fetch(`/api/history?since=${view.historyLatest}`, { cache: 'no-store' })
    .then(r => (r.ok ? r.json() : Promise.reject(new Error(`HTTP ${r.status}`))))
    .then(h => {
      const rows = document.getElementById('history-rows');
      const fresh = h.events.filter(e => e.id > view.historyLatest);
      if (fresh.length) {
        const fragment = document.createDocumentFragment();
        for (const e of fresh) fragment.appendChild(historyRow(e));
        rows.insertBefore(fragment, rows.firstChild);
        view.history = fresh.concat(view.history).slice(0, h.capacity);
        while (rows.children.length > h.capacity) rows.lastChild.remove();
        view.historyLatest = fresh[0].id;
      }
      document.getElementById('history-empty').hidden = view.history.length > 0;
      updateHistoryFilter();
      applyHistoryFilter();
    })
    .catch(() => {})
    .finally(() => {
      view.historyBusy = false;
      if (view.state && view.state.history && view.state.history.latest > view.historyLatest) fetchHistory();
    });
}

function render(state) {
  view.state = state;
  const c = state.cco;
  document.getElementById('system-name').textContent = c.system ? c.system : '';
  const status = document.getElementById('cco-status');
  status.className = `badge ${c.answering ? 'ok' : 'bad'}`;
  status.textContent = c.answering ? 'CCO answering' : `CCO not answering: ${c.error || 'no reply'}`;
  document.getElementById('cco-location').textContent = c.location;
  document.getElementById('cco-seen').textContent = `last seen ${age(state, c.lastSeen)}`;
  document.body.classList.toggle('cco-down', !c.answering);
  const stale = c.answering ? '' : ' (as last seen)';
  document.querySelector('#matrices-section h2').textContent = `Antenna matrix managers${stale}`;
  document.querySelector('#receivers-section h2').textContent = `Receivers${stale}`;
  renderAttention(state);
  renderReceivers(state);
  renderMatrices(state);
  setHtml('tree', renderTree(state));
  if (state.history && state.history.latest !== view.historyLatest) {
    // A restarted view starts its history afresh.
    if (state.history.latest < view.historyLatest) {
      view.historyLatest = 0;
      view.history = [];
      document.getElementById('history-rows').textContent = '';
    }
    fetchHistory();
  }
  document.getElementById('footer').textContent =
    `Refreshed every ${state.refreshMs} ms; the last refresh took ${state.cost.totalMs} ms ` +
    `(${state.cost.ccoCalls} calls to the CCO in ${state.cost.ccoMs} ms) at ${new Date(state.now).toLocaleTimeString()}.`;
}

function setLink(ok, text) {
  const link = document.getElementById('link-status');
  link.className = `badge ${ok ? 'ok' : 'bad'}`;
  link.textContent = text;
}

// When the view refuses another event stream, the page asks once per period.
function poll() {
  const period = view.state ? view.state.refreshMs : 1000;
  fetch('/api/state', { cache: 'no-store' })
    .then(r => (r.ok ? r.json() : Promise.reject(new Error(`HTTP ${r.status}`))))
    .then(state => { if (state && state.cco) render(state); setLink(true, 'live (polling)'); })
    .catch(() => setLink(false, 'view not reachable'))
    .finally(() => { view.pollTimer = setTimeout(poll, period); });
}

function connect() {
  document.getElementById('history-filter').addEventListener('change', applyHistoryFilter);
  const stream = new EventSource('/events');
  view.stream = stream;
  stream.onopen = () => setLink(true, 'live');
  stream.onmessage = e => { render(JSON.parse(e.data)); setLink(true, 'live'); };
  stream.onerror = () => {
    if (stream.readyState === EventSource.CLOSED) {
      stream.close();
      if (!view.pollTimer) poll();
    } else {
      setLink(false, 'view not reachable, retrying');
    }
  };
}

document.addEventListener('DOMContentLoaded', connect);
