// Keeps the published page for offline use. Network first, so that a newly
// published page shows at once; the copy kept here when the network fails.
const CACHE = 'glimmerfeld';
const FILES = ['./', 'index.html', 'manifest.webmanifest', 'icons/glimmerfeld-128.png',
               'icons/glimmerfeld-256.png', 'icons/glimmerfeld.svg'];

self.addEventListener('install', (event) => {
  event.waitUntil(caches.open(CACHE).then((cache) => cache.addAll(FILES)).then(() => self.skipWaiting()));
});

self.addEventListener('activate', (event) => {
  event.waitUntil(self.clients.claim());
});

self.addEventListener('fetch', (event) => {
  const request = event.request;
  if (request.method !== 'GET' || new URL(request.url).origin !== location.origin) return;
  event.respondWith(fetch(request).then((response) => {
    if (response.ok) {
      const copy = response.clone();
      event.waitUntil(caches.open(CACHE).then((cache) => cache.put(request, copy)));
    }
    return response;
  }).catch(() => caches.match(request, { ignoreSearch: true }).then((kept) => kept || Response.error())));
});
