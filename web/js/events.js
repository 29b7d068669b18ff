// The server's event stream, read with fetch on the session's cookie; pages
// subscribe with onSwipe(). Runs while signed in and starts again when cut off.
'use strict';

const swipeListeners = [];
function onSwipe(f) { swipeListeners.push(f); }

let feedAbort = null;
async function startFeed() {
  if (feedAbort || !me) return;
  const abort = new AbortController();
  feedAbort = abort;
  try {
    const r = await fetch('/api/v1/events', { headers: PAGE_HEADERS, credentials: 'same-origin', signal: abort.signal });
    // The session ended (signed out elsewhere, idle, account disabled).
    if (r.status === 401) { feedAbort = null; signedOut(); return; }
    const reader = r.body.pipeThrough(new TextDecoderStream()).getReader();
    let buffer = '';
    for (;;) {
      const { value, done } = await reader.read();
      if (done) break;
      buffer += value;
      let end;
      while ((end = buffer.indexOf('\n\n')) >= 0) {
        const frame = buffer.slice(0, end);
        buffer = buffer.slice(end + 2);
        const type = (frame.match(/^event: (.*)$/m) || [])[1];
        const data = (frame.match(/^data: (.*)$/m) || [])[1];
        if (type === 'swipe' && data) {
          const s = JSON.parse(data);
          for (const f of swipeListeners) f(s);
        }
      }
    }
  } catch (e) { /* stopped or cut off: started again below */ }
  if (feedAbort !== abort) return;
  feedAbort = null;
  if (me) setTimeout(startFeed, 2000);
}
function stopFeed() {
  const abort = feedAbort;
  feedAbort = null;
  if (abort) abort.abort();
}
sessionHooks.start.push(startFeed);
sessionHooks.stop.push(stopFeed);
