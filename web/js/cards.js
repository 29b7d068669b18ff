// The card list and the card editor: every field a controller holds for a
// card, and the controllers that should hold it. The API replaces a card as a
// whole, so the editor always sends every field as shown, changed or not.
'use strict';

words({
  en: {
    cards: 'Cards', logical: 'Logical number', physical: 'Physical card number', controllers: 'Controllers',
    enrol: 'Enrol', save: 'Save', newCard: 'New card', remove: 'Remove', applied: 'Applied', pending: 'pending',
    refused: 'refused', edit: 'Edit', confirmRemove: 'Remove card {card}?', editing: 'Editing card {card}',
    validity: 'Date', validFrom: 'Valid from', validTo: 'Valid to', hours: 'Time', hoursFrom: 'From', hoursTo: 'To',
    lockTypes: 'Lock types', days: 'Weekday', dayFirst: 'From', dayLast: 'To', lock1: 'Lock 1', lock2: 'Lock 2', always: 'always',
    lockType: 'type {n}', 'lock.0': 'In and out', 'lock.1': 'In', 'lock.2': 'Out', 'lock.3': 'No entry',
    'day.0': 'Sunday', 'day.1': 'Monday', 'day.2': 'Tuesday', 'day.3': 'Wednesday', 'day.4': 'Thursday',
    'day.5': 'Friday', 'day.6': 'Saturday', state: 'State',
  },
  zh: {
    cards: '发卡名单', logical: '逻辑号', physical: '物理卡号', controllers: '控制器',
    enrol: '发卡', save: '保存', newCard: '新卡', remove: '删卡', applied: '已下发', pending: '待下发',
    refused: '被拒绝', edit: '修改', confirmRemove: '删卡 {card}？', editing: '修改卡 {card}',
    validity: '日期', validFrom: '起始日期', validTo: '终止日期', hours: '时间', hoursFrom: '从', hoursTo: '到',
    lockTypes: '门锁类型', days: '星期', dayFirst: '从', dayLast: '到', lock1: '锁一', lock2: '锁二', always: '不限',
    lockType: '类型 {n}', 'lock.0': '进出', 'lock.1': '进', 'lock.2': '出', 'lock.3': '禁止进出',
    'day.0': '星期日', 'day.1': '星期一', 'day.2': '星期二', 'day.3': '星期三', 'day.4': '星期四',
    'day.5': '星期五', 'day.6': '星期六', state: '状态',
  },
});

const lockName = (n) => (n >= 0 && n <= 3 ? t('lock.' + n) : t('lockType', { n }));
const dayName = (n) => t('day.' + n);
const refKey = (r) => r.bus + '/' + r.address;

// What a new card starts with: what the controller takes when nothing is set.
const BLANK_CARD = {
  logical: '', physical: '', valid_from: null, valid_to: null, hours: ['00:00', '23:59'], days: [0, 6],
  lock1: 0, lock2: 0, controllers: [],
};

function fillChoices() {
  const options = (id, values, name) => $(id).replaceChildren(...values.map((v) => el('option', { value: String(v) }, name(v))));
  for (const id of ['c-day-first', 'c-day-last']) options(id, [1, 2, 3, 4, 5, 6, 0], dayName);
  for (const id of ['c-lock1', 'c-lock2']) options(id, [0, 1, 2, 3, 4, 5, 6, 7], lockName);
}

// One labelled check box per controller, plus any the card names that is not
// configured here (so saving unchanged keeps it).
function fillControllerBoxes(extra = []) {
  const known = new Set(controllers.map(who));
  const refs = controllers.map((c) => ({ bus: c.bus, address: c.address }))
    .concat(extra.filter((r) => !known.has(refKey(r))));
  $('c-controllers').replaceChildren(el('legend', {}, t('controllers')), ...refs.map((r, i) => {
    const id = 'c-ctl-' + i;
    return el('span', { class: 'choice' }, el('input', { type: 'checkbox', id, value: refKey(r) }),
      el('label', { for: id }, controllerName(r)));
  }));
}

function showCard(card) {
  fillControllerBoxes(card.controllers || []);
  $('c-logical').value = card.logical;
  $('c-physical').value = card.physical;
  $('c-valid-from').value = card.valid_from || '';
  $('c-valid-to').value = card.valid_to || '';
  const hours = card.hours || BLANK_CARD.hours;
  $('c-hours-from').value = hours[0];
  $('c-hours-to').value = hours[1];
  const days = card.days || BLANK_CARD.days;
  $('c-day-first').value = String(days[0]);
  $('c-day-last').value = String(days[1]);
  $('c-lock1').value = String(card.lock1 ?? 0);
  $('c-lock2').value = String(card.lock2 ?? 0);
  const chosen = new Set((card.controllers || []).map(refKey));
  for (const box of $('c-controllers').querySelectorAll('input')) box.checked = chosen.has(box.value);
  $('card-title').textContent = card.logical ? t('editing', { card: card.logical }) : t('newCard');
  $('card-save').textContent = card.logical ? t('save') : t('enrol');
}

// The whole card as the form shows it.
function formCard() {
  const controllersChosen = [...$('c-controllers').querySelectorAll('input:checked')].map((b) => {
    const at = b.value.lastIndexOf('/');
    return { bus: b.value.slice(0, at), address: Number(b.value.slice(at + 1)) };
  });
  return {
    physical: $('c-physical').value.trim(),
    valid_from: $('c-valid-from').value || null,
    valid_to: $('c-valid-to').value || null,
    hours: [$('c-hours-from').value, $('c-hours-to').value],
    days: [Number($('c-day-first').value), Number($('c-day-last').value)],
    lock1: Number($('c-lock1').value),
    lock2: Number($('c-lock2').value),
    controllers: controllersChosen,
  };
}

async function renderCards() {
  if (!$('c-lock1').options.length) fillChoices();
  if (!$('c-logical').value) showCard(BLANK_CARD);
  const list = (await api('/cards')).cards;
  const progress = {};
  for (const c of controllers) {
    if (c.remote) continue;
    try { progress[who(c)] = await api('/controllers/' + c.bus + '/' + c.address + '/cards'); } catch (e) { /* away */ }
  }
  $('card-rows').replaceChildren(...list.map((card) => {
    const state = (card.controllers || []).map((r) => {
      const p = progress[refKey(r)];
      const pending = p && (p.pending_enrol || []).includes(card.logical);
      // A card the controller refused says why.
      if (r.refused) return refKey(r) + ': ' + t('refused') + ' (' + r.refused + ')';
      return refKey(r) + ': ' + (p ? (pending ? t('pending') : t('applied')) : '?');
    }).join(', ');
    const validity = card.valid_from ? card.valid_from + ' – ' + card.valid_to : t('always');
    const hours = card.hours ? card.hours[0] + '–' + card.hours[1] : '';
    const days = card.days ? dayName(card.days[0]) + ' – ' + dayName(card.days[1]) : '';
    return el('tr', { 'data-logical': card.logical },
      cell(t('logical'), card.logical), cell(t('physical'), card.physical),
      cell(t('validity'), validity), cell(t('hours'), hours), cell(t('days'), days),
      cell(t('lock1'), lockName(card.lock1)), cell(t('lock2'), lockName(card.lock2)),
      cell(t('controllers'), (card.controllers || []).map(controllerName).join(', ')),
      cell(t('state'), state),
      cell('', el('button', { type: 'button', class: 'edit', onclick: () => editCard(card) }, t('edit')),
        el('button', { type: 'button', onclick: () => removeCard(card) }, t('remove'))));
  }));
}
function editCard(card) {
  showCard(card);
  $('card-message').textContent = '';
  $('card-form').scrollIntoView({ block: 'start' });
}
async function saveCard(ev) {
  ev.preventDefault();
  try {
    const logical = $('c-logical').value.trim();
    const saved = await api('/cards/' + encodeURIComponent(logical), { method: 'PUT', body: JSON.stringify(formCard()) });
    $('card-message').textContent = t('ok');
    showCard(saved);
  } catch (e) { $('card-message').textContent = t('failed') + ' ' + e.message; }
  renderCards();
}
async function removeCard(card) {
  if (!confirm(t('confirmRemove', { card: card.logical }))) return;
  try {
    await api('/cards/' + card.logical, { method: 'DELETE' });
  } catch (e) { $('card-message').textContent = t('failed') + ' ' + e.message; }
  if ($('c-logical').value === card.logical) showCard(BLANK_CARD);
  renderCards();
}

window.addEventListener('DOMContentLoaded', () => {
  $('card-form').onsubmit = saveCard;
  $('card-new').onclick = () => { showCard(BLANK_CARD); $('card-message').textContent = ''; };
});
page('cards', { enter: renderCards });
