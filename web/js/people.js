// People: search, create and edit, the cards each holds (hold, hand back),
// and cards imported from a CSV file (a dry run first, then applied).
'use strict';

words({
  en: {
    people: 'People', name: 'Name', department: 'Department', employeeNo: 'Employee no.', notes: 'Notes',
    active: 'Active', heldCards: 'Cards held', search: 'Search', newPerson: 'New person', save: 'Save',
    edit: 'Edit', deactivate: 'Deactivate', hold: 'Give card', giveBack: 'Hand back', yes: 'Yes', no: 'No',
    anyone: 'Anyone', left: 'Left', importCards: 'Import cards (CSV)', dryRun: 'Check', apply: 'Apply',
    exportCards: 'Export cards', lineNo: 'Line', change: 'Change', holder: 'Holder', problems: 'Problems',
    importDone: '{n} cards imported', nothingApplied: 'Nothing was imported: fix the lines named',
    attendanceOf: 'Attendance',
  },
  zh: {
    people: '人员', name: '姓名', department: '部门', employeeNo: '工号', notes: '备注',
    active: '在职', heldCards: '持有卡', search: '查询', newPerson: '新增人员', save: '保存',
    edit: '修改', deactivate: '离职', hold: '发卡', giveBack: '退卡', yes: '是', no: '否',
    anyone: '全部', left: '离职', importCards: '导入卡片 (CSV)', dryRun: '检查', apply: '导入',
    exportCards: '导出卡片', lineNo: '行', change: '变更', holder: '持卡人', problems: '问题',
    importDone: '已导入 {n} 张卡', nothingApplied: '未导入：请修改所列的行',
    attendanceOf: '考勤',
  },
});

let editing = null;  // the person in the form, or null for a new one

function personForm(p) {
  editing = p;
  $('p-name').value = p ? p.name : '';
  $('p-department').value = p ? p.department : '';
  $('p-employee').value = p && p.employee_no ? p.employee_no : '';
  $('p-notes').value = p ? p.notes : '';
  $('p-message').textContent = '';
}

async function savePerson(ev) {
  ev.preventDefault();
  const body = { name: $('p-name').value, department: $('p-department').value,
    employee_no: $('p-employee').value || null, notes: $('p-notes').value };
  try {
    if (editing) await api('/people/' + editing.id, { method: 'PUT', body: JSON.stringify(body) });
    else await api('/people', { method: 'POST', body: JSON.stringify(body) });
    $('p-message').textContent = t('ok');
    personForm(null);
    loadPeople();
  } catch (e) { $('p-message').textContent = t('failed') + ' ' + e.message; }
}

async function loadPeople() {
  const q = new URLSearchParams();
  if ($('p-q').value) q.set('q', $('p-q').value);
  if ($('p-active').value) q.set('active', $('p-active').value);
  let list;
  try { list = (await api('/people?' + q)).people; } catch (e) { $('p-message').textContent = e.message; return; }
  const rows = $('people-rows');
  rows.replaceChildren();
  // Changing people and their cards is for admins (the server checks too).
  const admin = may('admin');
  for (const p of list) {
    const held = p.cards.filter((c) => c.until === null);
    const cards = el('span', {});
    for (const c of held) {
      cards.append(el('span', { class: 'held' }, c.card + ' ', ...(!admin ? [] : [
        el('button', { type: 'button', class: 'return', onclick: () => giveBack(c.card) }, t('giveBack'))])));
    }
    const card = el('input', { size: '7', maxlength: '6', inputmode: 'numeric', 'aria-label': t('card') });
    const actions = el('span', { class: 'actions' },
      ...(!admin ? [] : [el('button', { type: 'button', onclick: () => personForm(p) }, t('edit'))]),
      el('a', { href: '#attendance', onclick: () => { attendanceFor = p.id; } }, t('attendanceOf')));
    if (p.active && admin) {
      actions.append(el('button', { type: 'button', onclick: () => deactivate(p) }, t('deactivate')));
      cards.append(card, el('button', { type: 'button', class: 'hold', onclick: () => hold(p, card.value) }, t('hold')));
    }
    rows.append(el('tr', { 'data-person': String(p.id) },
      cell(t('name'), p.name), cell(t('department'), p.department), cell(t('employeeNo'), p.employee_no || ''),
      cell(t('active'), p.active ? t('yes') : t('left')), cell(t('heldCards'), cards), cell('', actions)));
  }
}

async function act(f) {
  try { await f(); $('p-message').textContent = t('ok'); } catch (e) { $('p-message').textContent = t('failed') + ' ' + e.message; }
  loadPeople();
}
const hold = (p, card) => act(() => api('/people/' + p.id + '/cards', { method: 'POST', body: JSON.stringify({ card }) }));
const giveBack = (card) => act(() => api('/cards/' + card + '/return', { method: 'POST', body: '{}' }));
const deactivate = (p) => act(() => api('/people/' + p.id + '/deactivate', { method: 'POST', body: '{}' }));

// The import: what each line would change, and every malformed line.
async function importFile(dryRun) {
  const f = $('i-file').files[0];
  if (!f) return;
  const r = await fetch('/api/v1/cards/import' + (dryRun ? '?dry_run=1' : ''), {
    method: 'POST', body: await f.text(), credentials: 'same-origin',
    headers: { 'Content-Type': 'text/csv', 'X-Ostrel-Request': '1' },
  });
  if (r.status === 401) { signedOut(); return; }
  const body = await r.json().catch(() => ({}));
  const out = $('import-rows');
  out.replaceChildren();
  for (const l of body.lines || []) {
    const holder = l.holder ? l.holder.name + ' (' + l.holder.change + ')' : '';
    out.append(el('tr', {}, cell(t('lineNo'), String(l.line)), cell(t('card'), l.logical),
      cell(t('change'), l.card + (l.changes ? ': ' + l.changes.join(', ') : '')), cell(t('holder'), holder)));
  }
  for (const p of body.problems || []) {
    out.append(el('tr', { class: 'error' }, cell(t('lineNo'), String(p.line)), cell(t('card'), p.field),
      cell(t('problems'), p.message), cell('', '')));
  }
  const bad = (body.problems || []).length > 0;
  $('i-apply').disabled = !dryRun || bad || !r.ok;
  $('i-message').textContent = bad ? t('nothingApplied') : !r.ok ? t('failed') + ' ' + (body.error || {}).message
    : dryRun ? '' : t('importDone', { n: body.applied });
  if (!dryRun && r.ok) loadPeople();
}

// A file from the API, saved under its own name.
async function download(path, name) {
  const r = await fetch('/api/v1' + path, { credentials: 'same-origin', headers: { 'X-Ostrel-Request': '1' } });
  if (!r.ok) return;
  const a = el('a', { download: name, href: URL.createObjectURL(await r.blob()) });
  document.body.append(a);
  a.click();
  a.remove();
}

page('people', {
  enter() {
    $('people-search').onsubmit = (ev) => { ev.preventDefault(); loadPeople(); };
    $('person-form').onsubmit = savePerson;
    $('p-new').onclick = () => personForm(null);
    $('i-check').onclick = () => importFile(true);
    $('i-apply').onclick = () => importFile(false);
    $('i-export').onclick = () => download('/cards/export', 'cards.csv');
    $('i-file').onchange = () => { $('i-apply').disabled = true; };
    const admin = may('admin');
    $('person-form').hidden = !admin;
    for (const id of ['i-file', 'i-check', 'i-apply']) $(id).hidden = !admin;
    loadPeople();
  },
});
