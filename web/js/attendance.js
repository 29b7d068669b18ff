// Attendance: per person and day the first and last swipe, the doors and the
// time between, with the same filters as the CSV and XLSX downloads.
'use strict';

words({
  en: { attendance: 'Attendance', from: 'From', to: 'To', day: 'Day', first: 'First', last: 'Last',
    duration: 'Hours', doors: 'Doors', absent: 'No swipe', show: 'Show' },
  zh: { attendance: '考勤', from: '开始日期', to: '结束日期', day: '日期', first: '首次', last: '末次',
    duration: '时长', doors: '门', absent: '无打卡', show: '查询' },
});

let attendanceFor = null;  // set by the People page's link

const today = () => new Date(Date.now() - new Date().getTimezoneOffset() * 60000).toISOString().slice(0, 10);

function attendanceQuery(format) {
  const q = new URLSearchParams({ from: $('a-from').value, to: $('a-to').value });
  if ($('a-person').value) q.set('person', $('a-person').value);
  if ($('a-department').value) q.set('department', $('a-department').value);
  if (format) q.set('format', format);
  return q;
}

async function loadAttendance() {
  const rows = $('attendance-rows');
  try {
    const r = await api('/reports/attendance?' + attendanceQuery());
    $('a-message').textContent = '';
    rows.replaceChildren();
    for (const a of r.rows) {
      const hm = a.minutes === null ? '' : Math.floor(a.minutes / 60) + ':' + String(a.minutes % 60).padStart(2, '0');
      rows.append(el('tr', a.absent ? { class: 'absent' } : {},
        cell(t('name'), a.person.name), cell(t('department'), a.department), cell(t('day'), a.day),
        cell(t('first'), a.absent ? t('absent') : a.first.replace('T', ' ')),
        cell(t('last'), a.absent ? '' : a.last.replace('T', ' ')), cell(t('duration'), hm),
        cell(t('doors'), a.doors.join(', '))));
    }
  } catch (e) { $('a-message').textContent = e.message; }
}

page('attendance', {
  async enter() {
    if (!$('a-from').value) {
      $('a-to').value = today();
      $('a-from').value = today().slice(0, 8) + '01';
    }
    const people = (await api('/people')).people;
    const sel = $('a-person');
    const chosen = attendanceFor !== null ? String(attendanceFor) : sel.value;
    sel.replaceChildren(el('option', { value: '' }, t('anyone')));
    for (const p of people) sel.append(el('option', { value: String(p.id) }, p.name));
    sel.value = chosen;
    attendanceFor = null;
    $('attendance-form').onsubmit = (ev) => { ev.preventDefault(); loadAttendance(); };
    $('a-csv').onclick = () => download('/reports/attendance?' + attendanceQuery('csv'), 'attendance.csv');
    $('a-xlsx').onclick = () => download('/reports/attendance?' + attendanceQuery('xlsx'), 'attendance.xlsx');
    loadAttendance();
  },
});
