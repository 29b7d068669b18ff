// The site's web page: signs in with the API token and works on /api/v1 only.
'use strict';

const TEXTS = {
  en: {
    dashboard: 'Controllers', feed: 'Live swipes', swipes: 'Swipes', cards: 'Cards', signout: 'Sign out',
    token: 'Token', signin: 'Sign in', badToken: 'The token is not valid', controller: 'Controller',
    online: 'Online', offline: 'Offline', locks: 'Locks', drift: 'Clock drift', records: 'Records',
    lastSwipe: 'Last swipe', openLock: 'Open lock', confirmOpen: 'Open lock {lock} of {who}?', open: 'open',
    closed: 'closed', unknown: '?', card: 'Card', since: 'From', until: 'To', search: 'Search',
    export: 'Export CSV', time: 'Time', line: 'Record', logical: 'Logical number', physical: 'Physical card number',
    controllers: 'Controllers', enrol: 'Enrol', remove: 'Remove', applied: 'Applied', pending: 'pending', refused: 'refused',
    edit: 'Edit', ok: 'Done', failed: 'Failed', all: 'All', confirmRemove: 'Remove card {card}?', seconds: 's',
  },
  zh: {
    dashboard: '控制器', feed: '实时打卡', swipes: '打卡记录', cards: '发卡名单', signout: '退出',
    token: '令牌', signin: '登录', badToken: '令牌无效', controller: '地址',
    online: '在线', offline: '离线', locks: '门锁状态', drift: '时钟偏差', records: '打卡记录数',
    lastSwipe: '最后打卡', openLock: '打开锁', confirmOpen: '打开 {who} 的锁 {lock}？', open: '开',
    closed: '关', unknown: '?', card: '物理卡号', since: '从', until: '到', search: '查询',
    export: '导出 CSV', time: '时间', line: '记录', logical: '逻辑号', physical: '物理卡号',
    controllers: '控制器', enrol: '发卡', remove: '删卡', applied: '已下发', pending: '待下发', refused: '被拒绝',
    edit: '修改', ok: '成功！', failed: '失败！', all: '全部', confirmRemove: '删卡 {card}？', seconds: '秒',
  },
};
const lang = (navigator.languages || [navigator.language || 'en']).some((l) => /^zh/i.test(l)) ? 'zh' : 'en';
const T = TEXTS[lang];
const t = (key, vars = {}) => T[key].replace(/\{(\w+)\}/g, (_, k) => vars[k]);

let token = sessionStorage.getItem('ostrel-token') || '';
let controllers = [];
let feedAbort = null;
let dashboardTimer = null;

const $ = (id) => document.getElementById(id);
function el(tag, attrs = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === 'onclick') e.onclick = v; else e.setAttribute(k, v);
  }
  for (const c of children) e.append(c instanceof Node ? c : document.createTextNode(c ?? ''));
  return e;
}
function cell(label, ...children) { return el('td', { 'data-label': label }, ...children); }

async function api(path, options = {}) {
  // An empty body still says so (Content-Length: 0), or the server refuses the POST.
  const method = options.method || 'GET';
  const r = await fetch('/api/v1' + path, {
    ...options, body: options.body ?? (method === 'GET' ? undefined : ''),
    headers: { Authorization: 'Bearer ' + token, 'Content-Type': 'application/json' },
  });
  if (r.status === 401) { signOut(); throw new Error(t('badToken')); }
  const body = await r.json().catch(() => ({}));
  if (!r.ok) throw new Error(body.error ? body.error.message : r.statusText);
  return body;
}

function signOut() {
  token = '';
  sessionStorage.removeItem('ostrel-token');
  location.hash = '#login';
  route();
}

function show(page) {
  for (const s of document.querySelectorAll('.page')) s.hidden = s.id !== page;
  for (const a of document.querySelectorAll('nav a')) a.classList.toggle('active', a.hash === '#' + page);
  $('nav').hidden = page === 'login';
}

async function route() {
  let page = location.hash.slice(1) || 'dashboard';
  if (!token) page = 'login';
  clearInterval(dashboardTimer);
  show(page);
  if (page === 'login') return;
  if (!feedAbort) startFeed();
  controllers = (await api('/controllers')).controllers;
  if (page === 'dashboard') { renderDashboard(); dashboardTimer = setInterval(refreshDashboard, 1000); }
  if (page === 'swipes') fillControllerChoice();
  if (page === 'cards') renderCards();
}

const who = (c) => c.bus + '/' + c.address;
async function refreshDashboard() { controllers = (await api('/controllers')).controllers; renderDashboard(); }
function renderDashboard() {
  const rows = controllers.map((c) => {
    const s = c.state || {};
    const locks = (s.locks || []).map((l) => t(l === 'open' || l === 'closed' ? l : 'unknown')).join(' / ');
    const buttons = [1, 2].map((lock) => el('button', {
      'data-open': who(c) + '/' + lock,
      onclick: () => openLock(c, lock),
    }, t('openLock') + ' ' + lock));
    return el('tr', { 'data-controller': who(c) },
      cell(t('controller'), (c.name ? c.name + ' ' : '') + '(' + who(c) + ')'),
      cell(t('online'), el('span', { class: s.online ? 'online' : 'offline' }, s.online ? t('online') : t('offline'))),
      cell(t('locks'), el('span', { class: 'locks' }, locks)),
      cell(t('drift'), s.clock_drift_seconds == null ? '' : s.clock_drift_seconds + ' ' + t('seconds')),
      cell(t('records'), String(s.record_count ?? '')),
      cell(t('lastSwipe'), lastSwipes[who(c)] || ''),
      cell('', ...buttons));
  });
  $('controllers').replaceChildren(...rows);
}
async function openLock(c, lock) {
  if (!confirm(t('confirmOpen', { lock, who: who(c) }))) return;
  try {
    await api('/controllers/' + c.bus + '/' + c.address + '/locks/' + lock + '/open', { method: 'POST' });
  } catch (e) { alert(t('failed') + ' ' + e.message); }
  refreshDashboard();
}

// The live feed reads the event stream with fetch: it carries the token.
const lastSwipes = {};
async function startFeed() {
  feedAbort = new AbortController();
  try {
    const r = await fetch('/api/v1/events', { headers: { Authorization: 'Bearer ' + token }, signal: feedAbort.signal });
    const reader = r.body.pipeThrough(new TextDecoderStream()).getReader();
    let buffer = '';
    for (;;) {
      const { value, done } = await reader.read();
      if (done) break;
      buffer += value;
      let end;
      while ((end = buffer.indexOf('\n\n')) >= 0) {
        const frame = buffer.slice(0, end);
        buffer = buffer.slice(end + 2);
        const type = (frame.match(/^event: (.*)$/m) || [])[1];
        const data = (frame.match(/^data: (.*)$/m) || [])[1];
        if (type === 'swipe' && data) addSwipe(JSON.parse(data));
      }
    }
  } catch (e) { /* stopped or cut off: started again below */ }
  feedAbort = null;
  if (token) setTimeout(startFeed, 2000);
}
function addSwipe(s) {
  lastSwipes[s.bus + '/' + s.address] = s.card + ' ' + s.time;
  const item = el('li', { 'data-card': s.card }, s.time + '  ' + s.bus + '/' + s.address + '  ' + t('card') + ' ' + s.card);
  $('feed-list').prepend(item);
  while ($('feed-list').children.length > 200) $('feed-list').lastChild.remove();
}

function fillControllerChoice() {
  const sel = $('q-controller');
  const current = sel.value;
  sel.replaceChildren(el('option', { value: '' }, t('all')),
    ...controllers.map((c) => el('option', { value: who(c) }, (c.name ? c.name + ' ' : '') + '(' + who(c) + ')')));
  sel.value = current;
}
function query(after) {
  const p = new URLSearchParams({ limit: '500', after: String(after) });
  const [bus, address] = $('q-controller').value.split('/');
  if (bus) { p.set('bus', bus); p.set('address', address); }
  if ($('q-card').value) p.set('card', $('q-card').value.trim().toUpperCase());
  if ($('q-since').value) p.set('since', $('q-since').value);
  if ($('q-until').value) p.set('until', $('q-until').value);
  return '/swipes?' + p;
}
async function searchAll() {
  let all = [];
  for (let after = 0; ;) {
    const r = await api(query(after));
    all = all.concat(r.swipes);
    if (r.next == null || all.length >= 100000) return all;
    after = r.next;
  }
}
let lastResult = [];
async function search(ev) {
  ev.preventDefault();
  lastResult = await searchAll();
  $('swipe-rows').replaceChildren(...lastResult.map((s) => el('tr', { 'data-card': s.card },
    cell('#', String(s.id)), cell(t('controller'), s.bus + '/' + s.address), cell(t('card'), s.card),
    cell(t('time'), s.time), cell(t('line'), s.line))));
}
const CSV_FIELDS = ['id', 'site', 'bus', 'address', 'card', 'time', 'code_a', 'code_b', 'line', 'collected_at'];
function csv(rows) {
  const q = (v) => /[",\n]/.test(String(v)) ? '"' + String(v).replace(/"/g, '""') + '"' : String(v);
  return [CSV_FIELDS.join(',')].concat(rows.map((r) => CSV_FIELDS.map((f) => q(r[f])).join(','))).join('\r\n') + '\r\n';
}
async function exportCsv() {
  const rows = await searchAll();
  const a = el('a', { id: 'csv-link', download: 'swipes.csv', href: URL.createObjectURL(new Blob([csv(rows)], { type: 'text/csv' })) });
  document.body.append(a);
  a.click();
  a.remove();
  window.lastCsv = csv(rows);
}

async function renderCards() {
  const box = $('c-controllers');
  box.replaceChildren(el('legend', {}, t('controllers')), ...controllers.map((c) =>
    el('label', {}, el('input', { type: 'checkbox', value: who(c) }), ' ' + (c.name ? c.name + ' ' : '') + '(' + who(c) + ')')));
  const list = (await api('/cards')).cards;
  const progress = {};
  for (const c of controllers) {
    if (c.remote) continue;
    try { progress[who(c)] = await api('/controllers/' + c.bus + '/' + c.address + '/cards'); } catch (e) { /* away */ }
  }
  $('card-rows').replaceChildren(...list.map((card) => {
    const state = (card.controllers || []).map((r) => {
      const p = progress[r.bus + '/' + r.address];
      const pending = p && (p.pending_enrol || []).includes(card.logical);
      // A card the controller refused says why.
      if (r.refused) return r.bus + '/' + r.address + ': ' + t('refused') + ' (' + r.refused + ')';
      return r.bus + '/' + r.address + ': ' + (p ? (pending ? t('pending') : t('applied')) : '?');
    }).join(', ');
    return el('tr', { 'data-logical': card.logical },
      cell(t('logical'), card.logical), cell(t('physical'), card.physical),
      cell(t('controllers'), (card.controllers || []).map((r) => r.bus + '/' + r.address).join(', ')),
      cell(t('applied'), state),
      cell('', el('button', { onclick: () => editCard(card) }, t('edit')),
        el('button', { onclick: () => removeCard(card) }, t('remove'))));
  }));
}
function editCard(card) {
  $('c-logical').value = card.logical;
  $('c-physical').value = card.physical;
  const chosen = new Set((card.controllers || []).map((r) => r.bus + '/' + r.address));
  for (const box of $('c-controllers').querySelectorAll('input')) box.checked = chosen.has(box.value);
}
async function saveCard(ev) {
  ev.preventDefault();
  const chosen = [...$('c-controllers').querySelectorAll('input:checked')].map((b) => {
    const [bus, address] = b.value.split('/');
    return { bus, address: Number(address) };
  });
  try {
    await api('/cards/' + $('c-logical').value.trim(), {
      method: 'PUT', body: JSON.stringify({ physical: $('c-physical').value.trim(), controllers: chosen }),
    });
    $('card-message').textContent = t('ok');
  } catch (e) { $('card-message').textContent = t('failed') + ' ' + e.message; }
  renderCards();
}
async function removeCard(card) {
  if (!confirm(t('confirmRemove', { card: card.logical }))) return;
  await api('/cards/' + card.logical, { method: 'DELETE' });
  renderCards();
}

async function signIn(ev) {
  ev.preventDefault();
  token = $('token').value.trim();
  try {
    await api('/controllers');
    sessionStorage.setItem('ostrel-token', token);
    $('login-error').textContent = '';
    location.hash = '#dashboard';
    route();
  } catch (e) { $('login-error').textContent = t('badToken'); token = ''; }
}

document.documentElement.lang = lang === 'zh' ? 'zh-CN' : 'en';
for (const e of document.querySelectorAll('[data-t]')) e.textContent = t(e.dataset.t);
$('login-form').onsubmit = signIn;
$('signout').onclick = () => { if (feedAbort) feedAbort.abort(); signOut(); };
$('search-form').onsubmit = search;
$('export').onclick = exportCsv;
$('card-form').onsubmit = saveCard;
window.onhashchange = route;
fetch('/healthz').then((r) => r.json()).then((h) => { $('site').textContent = 'ostrel · ' + h.site; });
route();
