// Live swipes as they arrive, newest on top.
'use strict';

words({ en: { feed: 'Live swipes' }, zh: { feed: '实时打卡' } });

onSwipe((s) => {
  const item = el('li', { 'data-card': s.card }, s.time.replace('T', ' ') + '  ' + controllerName(s) + '  ' + t('card') + ' ' + s.card);
  const list = $('feed-list');
  list.prepend(item);
  while (list.children.length > 200) list.lastChild.remove();
});

page('feed', {});
