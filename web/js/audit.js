// The audit trail (administrators): who did what, from where, and how it
// ended; newest first, filtered by actor, action and UTC time, paged.
'use strict';

words({
  en: {
    audit: 'Audit', actor: 'Who', action: 'Action', target: 'Target', address: 'From', outcome: 'Outcome',
    sinceUtc: 'From (UTC)', untilUtc: 'To (UTC)', more: 'More', anonymous: 'anonymous', auditNone: 'No entries',
    'outcome.done': 'done', 'outcome.refused': 'refused', 'outcome.no_reply': 'no reply',
    'action.lock.open': 'lock opened', 'action.lock.delay': 'lock delay set', 'action.clock.set': 'clock set',
    'action.collect': 'collection', 'action.cards.resync': 'cards resynced', 'action.card.put': 'card saved',
    'action.card.delete': 'card removed', 'action.cards.import': 'cards imported', 'action.card.hold': 'card given',
    'action.card.return': 'card handed back', 'action.person.create': 'person added',
    'action.person.update': 'person changed', 'action.person.deactivate': 'person left',
    'action.session.signin': 'signed in', 'action.session.signout': 'signed out',
  },
  zh: {
    audit: '操作记录', actor: '操作人', action: '操作', target: '对象', address: '来源地址', outcome: '结果',
    sinceUtc: '从（UTC）', untilUtc: '到（UTC）', more: '更多', anonymous: '匿名', auditNone: '没有记录',
    'outcome.done': '完成', 'outcome.refused': '被拒绝', 'outcome.no_reply': '无应答',
    'action.lock.open': '开锁', 'action.lock.delay': '设置开门延时', 'action.clock.set': '校时',
    'action.collect': '采集记录', 'action.cards.resync': '重新下发卡', 'action.card.put': '保存卡',
    'action.card.delete': '删除卡', 'action.cards.import': '导入卡', 'action.card.hold': '发卡',
    'action.card.return': '退卡', 'action.person.create': '添加人员', 'action.person.update': '修改人员',
    'action.person.deactivate': '人员离职', 'action.session.signin': '登录', 'action.session.signout': '退出登录',
  },
});

const AUDIT_ACTIONS = ['lock.open', 'lock.delay', 'clock.set', 'collect', 'cards.resync', 'card.put', 'card.delete',
  'cards.import', 'card.hold', 'card.return', 'person.create', 'person.update', 'person.deactivate',
  'session.signin', 'session.signout'];
let auditNext = null;

function auditQuery(after) {
  const p = new URLSearchParams({ limit: '100' });
  if ($('a-actor').value.trim()) p.set('actor', $('a-actor').value.trim());
  if ($('a-action').value) p.set('action', $('a-action').value);
  if ($('a-since').value) p.set('since', $('a-since').value);
  if ($('a-until').value) p.set('until', $('a-until').value);
  if (after != null) p.set('after', String(after));
  return '/audit?' + p;
}
function auditRow(e) {
  const known = (prefix, v) => (TEXTS[lang][prefix + v] ? t(prefix + v) : v);
  const actor = e.actor ? e.actor + ' (' + e.role + ')' : t('anonymous');
  const outcome = el('span', { class: 'outcome-' + e.outcome }, known('outcome.', e.outcome));
  return el('tr', { 'data-action': e.action, 'data-outcome': e.outcome },
    cell(t('time'), e.time.replace('T', ' ').replace('Z', ' UTC')), cell(t('actor'), actor),
    cell(t('address'), e.address), cell(t('action'), known('action.', e.action)), cell(t('target'), e.target),
    cell(t('outcome'), outcome, e.reason ? el('span', { class: 'reason' }, e.reason) : '', ' ' + e.status));
}
async function auditSearch(ev, more) {
  if (ev) ev.preventDefault();
  $('audit-error').textContent = '';
  try {
    const r = await api(auditQuery(more ? auditNext : null));
    const rows = r.audit.map(auditRow);
    if (more) $('audit-rows').append(...rows); else $('audit-rows').replaceChildren(...rows);
    auditNext = r.next;
    $('audit-more').hidden = r.next == null;
    $('audit-empty').hidden = $('audit-rows').children.length > 0;
  } catch (e) { $('audit-error').textContent = e.message; }
}

window.addEventListener('DOMContentLoaded', () => {
  $('a-action').replaceChildren(el('option', { value: '' }, t('all')),
    ...AUDIT_ACTIONS.map((a) => el('option', { value: a }, t('action.' + a))));
  $('audit-form').onsubmit = (ev) => auditSearch(ev, false);
  $('audit-more').onclick = () => auditSearch(null, true);
});
page('audit', { enter: () => auditSearch(null, false) });
