// The page's common ground: texts in two languages, the API, sign-in and the
// page routing. Each page is one file that registers its words and itself:
//   words({ en: {...}, zh: {...} });
//   page('name', { enter() {...}, leave() {...} });
// plus a nav entry and a <section id="name" class="page"> in index.html.
'use strict';

const TEXTS = {
  en: {
    signout: 'Sign out', token: 'Token', signin: 'Sign in', badToken: 'The token is not valid',
    controller: 'Controller', card: 'Card', all: 'All', ok: 'Done', failed: 'Failed', seconds: 's',
  },
  zh: {
    signout: '退出', token: '令牌', signin: '登录', badToken: '令牌无效',
    controller: '地址', card: '物理卡号', all: '全部', ok: '成功！', failed: '失败！', seconds: '秒',
  },
};
const lang = (navigator.languages || [navigator.language || 'en']).some((l) => /^zh/i.test(l)) ? 'zh' : 'en';
function words(list) {
  for (const l of Object.keys(TEXTS)) Object.assign(TEXTS[l], list[l]);
}
const t = (key, vars = {}) => (TEXTS[lang][key] ?? key).replace(/\{(\w+)\}/g, (_, k) => vars[k]);

let token = sessionStorage.getItem('ostrel-token') || '';
let controllers = [];

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

// Pages by name; the one shown gets enter() on every visit and leave() when left.
const pages = {};
let current = null;
function page(name, handlers) { pages[name] = handlers; }

// Hooks run once after sign-in and once at sign-out (the event stream uses them).
const sessionHooks = { start: [], stop: [] };
let sessionStarted = false;

function signOut() {
  token = '';
  sessionStorage.removeItem('ostrel-token');
  if (sessionStarted) { sessionStarted = false; for (const f of sessionHooks.stop) f(); }
  location.hash = '#login';
  route();
}

function show(name) {
  for (const s of document.querySelectorAll('.page')) s.hidden = s.id !== name;
  for (const a of document.querySelectorAll('nav a')) a.classList.toggle('active', a.hash === '#' + name);
  $('nav').hidden = name === 'login';
}

async function route() {
  let name = location.hash.slice(1) || 'dashboard';
  if (!token) name = 'login';
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
  token = $('token').value.trim();
  try {
    await api('/controllers');
    sessionStorage.setItem('ostrel-token', token);
    $('login-error').textContent = '';
    location.hash = '#dashboard';
    route();
  } catch (e) { $('login-error').textContent = t('badToken'); token = ''; }
}

// Starts once every page file has registered (they load after this one).
window.addEventListener('DOMContentLoaded', () => {
  document.documentElement.lang = lang === 'zh' ? 'zh-CN' : 'en';
  for (const e of document.querySelectorAll('[data-t]')) e.textContent = t(e.dataset.t);
  $('login-form').onsubmit = signIn;
  $('signout').onclick = signOut;
  window.onhashchange = route;
  fetch('/healthz').then((r) => r.json()).then((h) => { $('site').textContent = 'ostrel · ' + h.site; });
  route();
});
