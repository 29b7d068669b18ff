// Controllers: state every second, the last swipe of each, opening a lock.
'use strict';

words({
  en: {
    dashboard: 'Controllers', online: 'Online', offline: 'Offline', locks: 'Locks', drift: 'Clock drift',
    records: 'Records', lastSwipe: 'Last swipe', openLock: 'Open lock', confirmOpen: 'Open lock {lock} of {who}?',
    open: 'open', closed: 'closed', unknown: '?', offlineReason: 'The controller is offline', noStatus: 'No status yet',
  },
  zh: {
    dashboard: '控制器', online: '在线', offline: '离线', locks: '门锁状态', drift: '时钟偏差',
    records: '打卡记录数', lastSwipe: '最后打卡', openLock: '打开锁', confirmOpen: '打开 {who} 的锁 {lock}？',
    open: '开', closed: '关', unknown: '?', offlineReason: '控制器离线，不能开锁', noStatus: '尚无状态',
  },
});

// Each controller's newest stored swipe: read from the store once, then kept
// up to date from the event stream (whichever is newer wins).
const lastSwipes = {};
let lastSwipesRead = false;
function noteSwipe(s) {
  const key = s.bus + '/' + s.address;
  if (!lastSwipes[key] || lastSwipes[key].id < s.id) lastSwipes[key] = s;
}
onSwipe(noteSwipe);
sessionHooks.stop.push(() => { lastSwipesRead = false; });
async function readLastSwipes() {
  if (lastSwipesRead) return;
  lastSwipesRead = true;
  await Promise.all(controllers.map(async (c) => {
    try {
      const p = new URLSearchParams({ bus: c.bus, address: String(c.address), order: 'desc', limit: '1' });
      for (const s of (await api('/swipes?' + p)).swipes) noteSwipe(s);
    } catch (e) { lastSwipesRead = false; }
  }));
  renderDashboard();
}

let dashboardTimer = null;
async function refreshDashboard() { controllers = (await api('/controllers')).controllers; renderDashboard(); }
function renderDashboard() {
  const rows = controllers.map((c) => {
    const s = c.state || {};
    const locks = (s.locks || []).map((l) => t(l === 'open' || l === 'closed' ? l : 'unknown')).join(' / ');
    // An offline controller cannot open a lock: the buttons say why.
    const reason = s.online ? '' : t(s.online === false ? 'offlineReason' : 'noStatus');
    const buttons = [1, 2].map((lock) => {
      const b = el('button', { 'data-open': who(c) + '/' + lock, onclick: () => openLock(c, lock) }, t('openLock') + ' ' + lock);
      if (reason) { b.disabled = true; b.title = reason; }
      return b;
    });
    if (reason) buttons.push(el('span', { class: 'reason' }, reason));
    const last = lastSwipes[who(c)];
    return el('tr', { 'data-controller': who(c) },
      cell(t('controller'), (c.name ? c.name + ' ' : '') + '(' + who(c) + ')'),
      cell(t('online'), el('span', { class: s.online ? 'online' : 'offline' }, s.online ? t('online') : t('offline'))),
      cell(t('locks'), el('span', { class: 'locks' }, locks)),
      cell(t('drift'), s.clock_drift_seconds == null ? '' : s.clock_drift_seconds + ' ' + t('seconds')),
      cell(t('records'), String(s.record_count ?? '')),
      cell(t('lastSwipe'), last ? t('card') + ' ' + last.card + ' · ' + last.time.replace('T', ' ') : ''),
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

page('dashboard', {
  enter() { renderDashboard(); readLastSwipes(); clearInterval(dashboardTimer); dashboardTimer = setInterval(refreshDashboard, 1000); },
  leave() { clearInterval(dashboardTimer); },
});
