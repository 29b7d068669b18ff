// The page's common ground: texts in two languages, the API, sign-in with a
// name and password (the session is a cookie the script never sees), what
// the signed-in role may do, and the page routing. Each page is one file that registers its words and itself:
//   words({ en: {...}, zh: {...} });
//   page('name', { enter() {...}, leave() {...} });
// plus a nav entry and a <section id="name" class="page"> in index.html.
'use strict';

const TEXTS = {
  en: {
    signout: 'Sign out', name: 'Name', password: 'Password', signin: 'Sign in',
    badSignIn: 'The name or the password is wrong', tooMany: 'Too many failed sign-ins: try again in {s} s',
    signedOut: 'Signed out', viewer: 'viewer', operator: 'operator', admin: 'admin',
    controller: 'Controller', card: 'Card', all: 'All', ok: 'Done', failed: 'Failed', seconds: 's',
  },
  zh: {
    signout: '退出', name: '用户名', password: '密码', signin: '登录',
    badSignIn: '用户名或密码错误', tooMany: '登录失败次数过多，请 {s} 秒后再试',
    signedOut: '已退出', viewer: '查看员', operator: '操作员', admin: '管理员',
    controller: '地址', card: '物理卡号', all: '全部', ok: '成功！', failed: '失败！', seconds: '秒',
  },
};
const lang = (navigator.languages || [navigator.language || 'en']).some((l) => /^zh/i.test(l)) ? 'zh' : 'en';
function words(list) {
  for (const l of Object.keys(TEXTS)) Object.assign(TEXTS[l], list[l]);
}
const t = (key, vars = {}) => (TEXTS[lang][key] ?? key).replace(/\{(\w+)\}/g, (_, k) => vars[k]);

// Who is signed in ({name, role}), null when nobody is.
let me = null;
let controllers = [];
const ROLES = ['viewer', 'operator', 'admin'];
// Whether the signed-in role may do what needs role (the server checks too).
const may = (role) => !!me && ROLES.indexOf(me.role) >= ROLES.indexOf(role);

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
const who = (c) => c.bus + '/' + c.address;
// A controller's configured name, or its bus and address when it has none.
function controllerName(ref) {
  const c = controllers.find((x) => x.bus === ref.bus && x.address === ref.address);
  return c && c.name ? c.name : ref.bus + '/' + ref.address;
}

// Every request says it comes from this page: the server refuses a change
// made with the session cookie without it (a form on another site cannot
// set it).
const PAGE_HEADERS = { 'Content-Type': 'application/json', 'X-Ostrel-Request': '1' };

async function api(path, options = {}) {
  // An empty body still says so (Content-Length: 0), or the server refuses the POST.
  const method = options.method || 'GET';
  const r = await fetch('/api/v1' + path, {
    ...options, body: options.body ?? (method === 'GET' ? undefined : ''), headers: PAGE_HEADERS,
    credentials: 'same-origin',
  });
  if (r.status === 401) { signedOut(); throw new Error(t('signedOut')); }
  const body = await r.json().catch(() => ({}));
  if (!r.ok) throw new Error(body.error ? body.error.message : r.statusText);
  return body;
}

// Pages by name; the one shown gets enter() on every visit and leave() when left.
const pages = {};
let current = null;
function page(name, handlers) { pages[name] = handlers; }

// Hooks run once after sign-in and once at sign-out (the event stream uses them).
const sessionHooks = { start: [], stop: [] };
let sessionStarted = false;

// The session is over (signed out here, or ended on the server).
function signedOut() {
  me = null;
  document.body.dataset.role = '';
  $('me').textContent = '';
  if (sessionStarted) { sessionStarted = false; for (const f of sessionHooks.stop) f(); }
  location.hash = '#login';
  route();
}

// Ends the session on the server, then here.
async function signOut() {
  try {
    await fetch('/api/v1/session', { method: 'DELETE', headers: PAGE_HEADERS, credentials: 'same-origin' });
  } catch (e) { /* the server's session ends by itself */ }
  signedOut();
}

function signedIn(who) {
  me = { name: who.name, role: who.role };
  document.body.dataset.role = me.role;
  $('me').textContent = me.name + ' (' + t(me.role) + ')';
  // Menu entries for a higher role stay hidden (the server refuses them anyway).
  for (const a of document.querySelectorAll('nav [data-role]')) a.hidden = !may(a.dataset.role);
}

function show(name) {
  for (const s of document.querySelectorAll('.page')) s.hidden = s.id !== name;
  for (const a of document.querySelectorAll('nav a')) a.classList.toggle('active', a.hash === '#' + name);
  $('nav').hidden = name === 'login';
}

async function route() {
  let name = location.hash.slice(1) || 'dashboard';
  if (!me) name = 'login';
  if (name !== 'login' && !pages[name]) name = 'dashboard';
  if (current && pages[current] && pages[current].leave) pages[current].leave();
  current = name;
  show(name);
  if (name === 'login') return;
  if (!sessionStarted) { sessionStarted = true; for (const f of sessionHooks.start) f(); }
  controllers = (await api('/controllers')).controllers;
  if (current === name && pages[name].enter) pages[name].enter();
}

async function signIn(ev) {
  ev.preventDefault();
  const body = JSON.stringify({ name: $('name').value.trim(), password: $('password').value });
  try {
    const r = await fetch('/api/v1/session', { method: 'POST', body, headers: PAGE_HEADERS, credentials: 'same-origin' });
    const reply = await r.json().catch(() => ({}));
    if (!r.ok) {
      $('login-error').textContent = r.status === 429 ? t('tooMany', { s: r.headers.get('Retry-After') || '?' })
        : r.status === 401 ? t('badSignIn') : (reply.error ? reply.error.message : r.statusText);
      return;
    }
    $('password').value = '';
    $('login-error').textContent = '';
    signedIn(reply);
    location.hash = '#dashboard';
    route();
  } catch (e) { $('login-error').textContent = t('failed') + ' ' + e.message; }
}

// A session the browser still holds (a reload) signs in at once.
async function resume() {
  try {
    const r = await fetch('/api/v1/session', { headers: PAGE_HEADERS, credentials: 'same-origin' });
    if (r.ok) signedIn(await r.json());
  } catch (e) { /* not signed in */ }
  route();
}

// Starts once every page file has registered (they load after this one).
window.addEventListener('DOMContentLoaded', () => {
  document.documentElement.lang = lang === 'zh' ? 'zh-CN' : 'en';
  for (const e of document.querySelectorAll('[data-t]')) e.textContent = t(e.dataset.t);
  $('login-form').onsubmit = signIn;
  $('signout').onclick = signOut;
  window.onhashchange = route;
  fetch('/healthz').then((r) => r.json()).then((h) => { $('site').textContent = 'ostrel · ' + h.site; });
  resume();
});
