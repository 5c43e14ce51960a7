// The console page: signs in, then shows the gateway's connections,
// counters, relation tree and chat logs from its JSON API. Everything from
// the API is put in as text, never as markup.
'use strict';

const $ = (id) => document.getElementById(id);
const state = { tab: 'connections', offset: 0, limit: 100, timer: null, level: 2 };

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}

async function api(path, body) {
  const opts = { credentials: 'same-origin' };
  if (body) {
    opts.method = 'POST';
    opts.body = new URLSearchParams(body);
  }
  const res = await fetch(path, opts);
  if (res.status === 401 && path !== '/api/login') {
    showLogin();
    throw new Error('signed out');
  }
  const data = await res.json();
  if (!res.ok) throw new Error(data.error || res.statusText);
  return data;
}

function showLogin() {
  clearInterval(state.timer);
  $('login').hidden = false;
  $('tabs').hidden = true;
  $('who').hidden = true;
  document.querySelectorAll('.tab').forEach((t) => (t.hidden = true));
}

function showApp(session) {
  state.level = session.level;
  $('login').hidden = true;
  $('tabs').hidden = false;
  $('who').hidden = false;
  $('who-name').textContent = session.user + (session.level > 1 ? ' (look only)' : '');
  $('command-form').hidden = session.level > 1;
  show(state.tab);
}

function show(tab) {
  state.tab = tab;
  document.querySelectorAll('nav button').forEach((b) => b.classList.toggle('active', b.dataset.tab === tab));
  document.querySelectorAll('.tab').forEach((t) => (t.hidden = t.id !== tab));
  clearInterval(state.timer);
  const refresh = { connections: loadConnections, counters: loadCounters, policy: loadPolicy, logs: null }[tab];
  if (refresh) {
    refresh().catch(() => {});
    if (tab !== 'policy') state.timer = setInterval(() => refresh().catch(() => {}), 3000);
  }
}

function bytes(n) {
  if (n < 1024) return n + ' B';
  if (n < 1048576) return (n / 1024).toFixed(1) + ' KiB';
  return (n / 1048576).toFixed(1) + ' MiB';
}

function duration(s) {
  const h = Math.floor(s / 3600), m = Math.floor((s % 3600) / 60);
  return (h ? h + 'h ' : '') + (h || m ? m + 'm ' : '') + (s % 60) + 's';
}

// Connections: one page at a time, so that thousands cost the page nothing.
async function loadConnections() {
  const q = new URLSearchParams({ offset: state.offset, limit: state.limit, filter: $('conn-filter').value });
  const data = await api('/api/connections?' + q);
  if (state.offset >= data.total && state.offset > 0) {
    state.offset = Math.max(0, data.total - (data.total % state.limit || state.limit));
    return loadConnections();
  }
  const rows = document.createDocumentFragment();
  for (const c of data.items) {
    const tr = el('tr');
    tr.dataset.tid = c.tid;
    for (const v of [c.tid, c.user || c.socks_user || '-', c.contacts || '', c.protocol || c.kind, c.client, c.server])
      tr.append(el('td', '', String(v)));
    tr.append(el('td', 'num', bytes(c.bytes_from_client)), el('td', 'num', bytes(c.bytes_from_server)),
              el('td', 'num', duration(c.seconds)));
    rows.append(tr);
  }
  $('conn-rows').replaceChildren(rows);
  const last = Math.min(data.total, state.offset + data.items.length);
  $('conn-range').textContent = data.total ? `${state.offset + 1}-${last} of ${data.total}` : 'no connections';
  $('conn-prev').disabled = state.offset === 0;
  $('conn-next').disabled = last >= data.total;
}

// Counters: the verdict totals, their last hour as lines, every counter.
async function loadCounters() {
  const data = await api('/api/counters');
  const counters = {};
  for (const line of data.reply.data.split('\n')) {
    const m = line.match(/^(\S+) = (-?\d+)/);
    if (m) counters[m[1]] = Number(m[2]);
  }
  for (const v of ['pass', 'block', 'alert', 'none']) $('count-' + v).textContent = counters['stats-match-' + v] ?? 0;
  drawChart(data.history);
  const filter = $('counter-filter').value;
  const rows = document.createDocumentFragment();
  for (const name of Object.keys(counters).sort()) {
    if (filter && !name.includes(filter)) continue;
    const tr = el('tr');
    tr.append(el('td', '', name), el('td', 'num', String(counters[name])));
    rows.append(tr);
  }
  $('counter-rows').replaceChildren(rows);
}

function drawChart(history) {
  const svg = $('chart');
  svg.replaceChildren();
  if (history.length < 2) return;
  const kinds = ['pass', 'block', 'alert'];
  const deltas = [];
  for (let i = 1; i < history.length; ++i)
    deltas.push(Object.fromEntries(kinds.map((k) => [k, Math.max(0, history[i][k] - history[i - 1][k])])));
  const top = Math.max(1, ...deltas.flatMap((d) => kinds.map((k) => d[k])));
  for (const k of kinds) {
    const line = document.createElementNS('http://www.w3.org/2000/svg', 'polyline');
    line.setAttribute('class', k);
    line.setAttribute('points', deltas.map((d, i) =>
      `${(i * 600) / Math.max(1, deltas.length - 1)},${115 - (d[k] * 110) / top}`).join(' '));
    svg.append(line);
  }
}

// Policy: the relation tree of the running policy, nodes folded open.
async function loadPolicy() {
  const data = await api('/api/policy');
  const doc = new DOMParser().parseFromString(data.xml, 'application/xml');
  const trees = doc.querySelector('relation-trees');
  const root = el('details');
  root.open = true;
  root.append(el('summary', '', '/ (the top of the tree)'));
  if (trees) fillNode(root, trees);
  $('tree').replaceChildren(root);
}

function relationWords(r) {
  const words = [];
  for (const a of ['action', 'direction', 'risk', 'threshold']) if (r.getAttribute(a)) words.push(a + '=' + r.getAttribute(a));
  if (r.getAttribute('disable') === '1') words.push('disabled');
  for (const o of r.querySelectorAll('access-list > object'))
    words.push((o.getAttribute('type') || 'object') + ':' + o.textContent.trim());
  return words.join(' ');
}

function fillNode(container, node) {
  let position = 0;
  for (const child of node.children) {
    if (child.tagName === 'user') {
      container.append(el('div', 'user', 'user ' + child.textContent.trim()));
    } else if (child.tagName === 'relation') {
      const line = el('div', 'relation');
      line.append(el('span', '', `#${++position} ${child.getAttribute('object')} `),
                  el('span', 'words', relationWords(child)));
      container.append(line);
    } else if (child.tagName === 'node') {
      const d = el('details');
      d.open = true;
      const desc = child.querySelector(':scope > description');
      d.append(el('summary', '', child.getAttribute('identifier') + (desc ? ' \u2014 ' + desc.textContent : '')));
      fillNode(d, child);
      container.append(d);
    }
  }
}

// A command as tqctl would send it; the tree shows what it changed.
async function runCommand(ev) {
  ev.preventDefault();
  const reply = $('command-reply');
  reply.hidden = false;
  try {
    const r = await api('/api/command', { line: $('command-line').value });
    reply.textContent = [...r.errors.map((e) => `error ${e.code}: ${e.message}`),
                         ...r.warnings.map((w) => 'warning: ' + w), r.data, r.ok ? 'OK' : 'FAIL']
      .filter(Boolean).join('\n');
    loadPolicy().catch(() => {});
  } catch (e) {
    reply.textContent = e.message;
  }
}

// Logs: conversations that match, each shown as a chat. With an archive
// the gateway also filters by verdict and pages through the matches.
const logsPage = { offset: 0, limit: 50 };

async function searchLogs(ev) {
  if (ev) {
    ev.preventDefault();
    logsPage.offset = 0;
  }
  const q = new URLSearchParams({ user: $('logs-user').value.trim(), contact: $('logs-contact').value.trim(),
                                  text: $('logs-text').value, verdict: $('logs-verdict').value,
                                  offset: logsPage.offset, limit: logsPage.limit });
  for (const k of ['from', 'to']) {
    const v = $('logs-' + k).value;
    if (v) q.set(k, Math.floor(new Date(v).getTime() / 1000));
  }
  let data;
  try {
    data = await api('/api/logs?' + q);
  } catch (e) {
    $('logs-count').textContent = e.message;
    return;
  }
  if (!data.ok) {
    $('logs-count').textContent = data.errors.map((e) => e.message).join('; ');
    return;
  }
  const doc = new DOMParser().parseFromString(data.data, 'application/xml');
  const logs = [...doc.querySelectorAll('logs > log')];
  const matches = doc.documentElement.getAttribute('matches');
  $('logs-count').textContent = logs.length + (logs.length === 1 ? ' conversation' : ' conversations') +
    (matches === null ? '' : `, matches ${logsPage.offset + 1}-${logsPage.offset + Number(matches)}`);
  $('logs-pages').hidden = matches === null;
  $('logs-prev').disabled = logsPage.offset === 0;
  $('logs-next').disabled = matches === null || Number(matches) < logsPage.limit;
  const out = document.createDocumentFragment();
  for (const log of logs) out.append(chat(log));
  $('logs-results').replaceChildren(out);
}

function chat(log) {
  const user = log.getAttribute('user');
  const box = el('div', 'chat');
  const started = new Date(Number(log.getAttribute('time')) * 1000);
  box.append(el('h3', '', `${user} with ${log.getAttribute('contact')}, ${started.toLocaleString()}`));
  for (const item of log.children) {
    const when = item.getAttribute('time') ? new Date(Number(item.getAttribute('time')) * 1000).toLocaleTimeString() : '';
    if (item.tagName === 'message') {
      const verdict = item.getAttribute('verdict') || '';
      const b = el('div', 'bubble' + (item.getAttribute('orig') === user ? ' mine' : '') +
                    (verdict === 'block' ? ' blocked' : ''));
      b.append(el('span', 'meta', `${item.getAttribute('orig')} ${when}${verdict && verdict !== 'pass' ? ' \u2014 ' + verdict : ''}`),
               document.createTextNode(item.textContent));
      box.append(b);
    } else {
      const what = item.getAttribute('activity') || item.getAttribute('type') || item.tagName;
      box.append(el('p', 'note', `${when} ${what} ${item.textContent}`.trim()));
    }
  }
  return box;
}

document.addEventListener('DOMContentLoaded', () => {
  $('login-form').addEventListener('submit', async (ev) => {
    ev.preventDefault();
    $('login-error').hidden = true;
    try {
      showApp(await api('/api/login', { user: $('login-user').value, password: $('login-password').value }));
      $('login-password').value = '';
    } catch (e) {
      $('login-error').textContent = e.message;
      $('login-error').hidden = false;
    }
  });
  $('logout').addEventListener('click', async () => {
    await api('/api/logout', {}).catch(() => {});
    showLogin();
  });
  document.querySelectorAll('nav button').forEach((b) => b.addEventListener('click', () => show(b.dataset.tab)));
  $('conn-prev').addEventListener('click', () => { state.offset = Math.max(0, state.offset - state.limit); loadConnections(); });
  $('conn-next').addEventListener('click', () => { state.offset += state.limit; loadConnections(); });
  $('conn-filter').addEventListener('input', () => { state.offset = 0; loadConnections().catch(() => {}); });
  $('counter-filter').addEventListener('input', () => loadCounters().catch(() => {}));
  $('logs-form').addEventListener('submit', searchLogs);
  $('logs-prev').addEventListener('click', () => { logsPage.offset = Math.max(0, logsPage.offset - logsPage.limit); searchLogs(); });
  $('logs-next').addEventListener('click', () => { logsPage.offset += logsPage.limit; searchLogs(); });
  $('command-form').addEventListener('submit', runCommand);
  api('/api/session').then(showApp).catch(showLogin);
});
