// The card list: enrol, edit and remove (admins), with each controller's progress.
'use strict';

words({
  en: {
    cards: 'Cards', logical: 'Logical number', physical: 'Physical card number', controllers: 'Controllers',
    enrol: 'Enrol', remove: 'Remove', applied: 'Applied', pending: 'pending', refused: 'refused', edit: 'Edit',
    confirmRemove: 'Remove card {card}?',
  },
  zh: {
    cards: '发卡名单', logical: '逻辑号', physical: '物理卡号', controllers: '控制器',
    enrol: '发卡', remove: '删卡', applied: '已下发', pending: '待下发', refused: '被拒绝', edit: '修改',
    confirmRemove: '删卡 {card}？',
  },
});

async function renderCards() {
  const editing = may('admin');
  $('card-form').hidden = !editing;
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
      cell('', ...(!editing ? [] : [el('button', { onclick: () => editCard(card) }, t('edit')),
        el('button', { onclick: () => removeCard(card) }, t('remove'))])));
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

window.addEventListener('DOMContentLoaded', () => { $('card-form').onsubmit = saveCard; });
page('cards', { enter: renderCards });
