// Stored swipes, newest first, a page at a time; the CSV export holds exactly
// the rows on screen.
'use strict';

words({
  en: {
    swipes: 'Swipes', since: 'From', until: 'To', search: 'Search', export: 'Export CSV', time: 'Time', line: 'Record',
    perPage: 'Per page', newest: 'Newest', newer: 'Newer', older: 'Older', rowsShown: '{n} swipes shown', noSwipes: 'No swipes',
  },
  zh: {
    swipes: '打卡记录', since: '从', until: '到', search: '查询', export: '导出 CSV', time: '时间', line: '记录',
    perPage: '每页', newest: '最新', newer: '上一页', older: '下一页', rowsShown: '显示 {n} 条记录', noSwipes: '没有打卡记录',
  },
});

function fillControllerChoice() {
  const sel = $('q-controller');
  const chosen = sel.value;
  sel.replaceChildren(el('option', { value: '' }, t('all')),
    ...controllers.map((c) => el('option', { value: who(c) }, c.name || who(c))));
  sel.value = chosen;
}

// The filters as they were when Search was pressed: paging keeps to them
// even when the form has been edited since.
function filtersFromForm() {
  const p = new URLSearchParams();
  const value = $('q-controller').value;
  if (value) {
    const at = value.lastIndexOf('/');
    p.set('bus', value.slice(0, at));
    p.set('address', value.slice(at + 1));
  }
  if ($('q-card').value.trim()) p.set('card', $('q-card').value.trim().toUpperCase());
  if ($('q-since').value) p.set('since', $('q-since').value);
  if ($('q-until').value) p.set('until', $('q-until').value);
  p.set('limit', $('q-limit').value);
  return p;
}

const shown = { filters: null, rows: [], newest: true, older: null };

async function fetchPage(filters, extra) {
  const p = new URLSearchParams(filters);
  for (const [k, v] of Object.entries(extra)) p.set(k, v);
  return api('/swipes?' + p);
}
async function showNewest(filters) {
  const r = await fetchPage(filters, { order: 'desc' });
  display(filters, r.swipes, true, r.next);
}
async function showOlder() {
  if (shown.older == null) return;
  const r = await fetchPage(shown.filters, { order: 'desc', before: String(shown.older) });
  display(shown.filters, r.swipes, false, r.next);
}
async function showNewer() {
  if (!shown.rows.length) return showNewest(shown.filters);
  const limit = Number(shown.filters.get('limit'));
  const r = await fetchPage(shown.filters, { order: 'asc', after: String(shown.rows[0].id) });
  // Fewer than a page above: the newest page is the one to show.
  if (r.swipes.length < limit) return showNewest(shown.filters);
  const rows = r.swipes.reverse();
  display(shown.filters, rows, false, rows[rows.length - 1].id);
}

function display(filters, rows, newest, older) {
  Object.assign(shown, { filters, rows, newest, older });
  $('swipe-rows').replaceChildren(...rows.map((s) => el('tr', { 'data-card': s.card, 'data-id': String(s.id) },
    cell('#', String(s.id)), cell(t('controller'), controllerName(s)), cell(t('card'), s.card),
    cell(t('time'), s.time.replace('T', ' ')), cell(t('line'), s.line))));
  $('swipe-count').textContent = rows.length ? t('rowsShown', { n: rows.length }) : t('noSwipes');
  $('page-newest').disabled = newest;
  $('page-newer').disabled = newest;
  $('page-older').disabled = older == null;
}

async function guarded(f) {
  try { await f(); $('swipe-error').textContent = ''; } catch (e) { $('swipe-error').textContent = t('failed') + ' ' + e.message; }
}
function search(ev) {
  ev.preventDefault();
  return guarded(() => showNewest(filtersFromForm()));
}

const CSV_FIELDS = ['id', 'site', 'bus', 'address', 'card', 'time', 'code_a', 'code_b', 'line', 'collected_at', 'person'];
function csv(rows) {
  const q = (v) => /[",\r\n]/.test(String(v)) ? '"' + String(v).replace(/"/g, '""') + '"' : String(v);
  return [CSV_FIELDS.join(',')].concat(rows.map((r) => CSV_FIELDS.map((f) => q(f === 'person' ? (r.person ? r.person.name : '') : r[f])).join(','))).join('\r\n') + '\r\n';
}
function exportCsv() {
  const text = csv(shown.rows);
  const a = el('a', { id: 'csv-link', download: 'swipes.csv', href: URL.createObjectURL(new Blob([text], { type: 'text/csv' })) });
  document.body.append(a);
  a.click();
  a.remove();
  window.lastCsv = text;
}

window.addEventListener('DOMContentLoaded', () => {
  $('search-form').onsubmit = search;
  $('export').onclick = exportCsv;
  $('page-newest').onclick = () => guarded(() => showNewest(shown.filters));
  $('page-newer').onclick = () => guarded(showNewer);
  $('page-older').onclick = () => guarded(showOlder);
});
page('swipes', {
  enter() {
    fillControllerChoice();
    // The page opens on the latest swipes.
    if (!shown.filters) guarded(() => showNewest(filtersFromForm()));
  },
});
