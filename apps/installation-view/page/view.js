// Renders the installation's state as the view pushes it, and says so in
// place when the view, the CCO or a matrix manager stops answering.
'use strict';

const view = { state: null, stream: null, pollTimer: null, lastArrival: 0 };

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

// Large matrices are shown as text only: a grid of that size helps nobody.
const maxGridCells = 4096;

function renderGrid(m) {
  if (!m.grid) return '<p class="note">The texts are not in a format this view knows; shown as they came.</p>';
  if (m.inputs * m.outputs > maxGridCells) return '<p class="note">Too many ports for a grid.</p>';
  const ranged = new Set(m.grid.ranges.map(r => `${r.input}/${r.output}`));
  let html = '<table class="grid"><thead><tr><th>in \\ out</th>';
  for (let o = 1; o <= m.outputs; o++) html += `<th>${o}</th>`;
  html += '</tr></thead><tbody>';
  for (let i = 1; i <= m.inputs; i++) {
    html += `<tr><th>${i}</th>`;
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
  if (!state.matrices.length) return '<p class="empty">none registered</p>';
  let html = '<div class="cards">';
  for (const m of state.matrices) {
    const status = badge(m.answering, 'answering', 'not answering', m.asked ? '' : 'asking');
    html += `<div class="card matrix${m.answering ? '' : ' stale'}" data-matrix="${esc(m.name)}">`;
    html += `<h3>AntennaMatrixManager${esc(m.id)} on ${esc(m.workstation)} <span class="meta">(${esc(m.subsystem)})</span> ${status}</h3>`;
    if (m.error) html += `<p class="error matrix-error">${esc(m.error)}</p>`;
    html += `<p class="meta">last seen ${esc(age(state, m.lastSeen))}</p>`;
    if (m.lastSeen) {
      html += `<p>${esc(m.inputs)} inputs &times; ${esc(m.outputs)} outputs, init ${m.init ? 'true' : 'false'}</p>`;
      html += renderGrid(m);
      html += `<div class="meta">connectionData</div><pre class="connection-data">${esc(m.connectionData) || '&nbsp;'}</pre>`;
      html += `<div class="meta">statusData</div><pre class="status-data">${esc(m.statusData) || '&nbsp;'}</pre>`;
    }
    html += '</div>';
  }
  return html + '</div>';
}

function renderReceivers(state) {
  if (!state.receivers.length) return '<p class="empty">none registered</p>';
  let html = '<table id="receiver-table"><thead><tr><th>receiver</th><th>subsystem</th><th>host</th><th>port</th>' +
    '<th>value tree</th><th>tree last answered</th><th>registration last seen</th></tr></thead><tbody>';
  for (const r of state.receivers) {
    let tree;
    if (r.tree.answering === undefined) tree = badge(false, '', '', 'asking');
    else tree = badge(r.tree.answering, r.tree.error ? `answers (${r.tree.error})` : 'answers', 'not answering');
    if (r.tree.answering === false && r.tree.error) tree += ` <span class="error">${esc(r.tree.error)}</span>`;
    html += `<tr data-receiver="${esc(r.name)}"><td>${esc(r.name)}</td><td>${esc(r.subsystem)}</td>` +
      `<td class="mono">${esc(r.host)}</td><td class="mono">${esc(r.port)}</td><td class="tree-status">${tree}</td>` +
      `<td>${esc(age(state, r.tree.lastSeen))}</td><td>${esc(age(state, r.lastSeen))}</td></tr>`;
  }
  return html + '</tbody></table>';
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

function render(state) {
  view.state = state;
  view.lastArrival = Date.now();
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
  document.getElementById('matrices').innerHTML = renderMatrices(state);
  document.getElementById('receivers').innerHTML = renderReceivers(state);
  document.getElementById('tree').innerHTML = renderTree(state);
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
