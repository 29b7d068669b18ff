// Swipe search and its CSV export.
'use strict';

words({
  en: { swipes: 'Swipes', since: 'From', until: 'To', search: 'Search', export: 'Export CSV', time: 'Time', line: 'Record' },
  zh: { swipes: '打卡记录', since: '从', until: '到', search: '查询', export: '导出 CSV', time: '时间', line: '记录' },
});

function fillControllerChoice() {
  const sel = $('q-controller');
  const chosen = sel.value;
  sel.replaceChildren(el('option', { value: '' }, t('all')),
    ...controllers.map((c) => el('option', { value: who(c) }, (c.name ? c.name + ' ' : '') + '(' + who(c) + ')')));
  sel.value = chosen;
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

window.addEventListener('DOMContentLoaded', () => {
  $('search-form').onsubmit = search;
  $('export').onclick = exportCsv;
});
page('swipes', { enter: fillControllerChoice });
