/*
 * Murnavell call page: camera, microphone and speakers, one RTCPeerConnection per peer (a full
 * mesh in chat calls), host candidates only (a LAN: no STUN or TURN servers). Written for the
 * Chromium inside Qt WebEngine 6.4, so it keeps to what Chromium 102 offers.
 *
 * The call window assembles the page before loading it (exact texts in the README, "Call page"):
 *   PAGE_CSS       raw text of main.css, then catalina.css, then ":root {" and the seven colour
 *                  variables of the palette (no closing brace);
 *   PAGE_HTML      raw text of index.html;
 *   SETTINGS_TEXT  the quoted marker, quotes included, becomes a string literal holding the JSON
 *                  text last posted as "settings" (or '{}');
 *   the comment line after `let localization` becomes `localization = {"key": "text", ...};`
 *                  with the 32 texts, every one a JSON string literal.
 * The CSS and HTML sit inside String.raw templates, so they never hold a backtick or a dollar
 * sign followed by a brace; nothing spliced into the script may end its script element or
 * open an HTML comment there (every string literal escapes "<" as \u003c).
 *
 * Into the page, one call per message: exeMsgReceived({message: NAME, data: DATA}). DATA is a
 * string, except for "rtc_msg" and "callers_name", where it is a signalling object.
 *   uid "id" | name "text" | add "id\bname" | rename "id\bname" | left "id"
 *   message "id\bname\btext" (a chat line) | enableWindow "0" | "1"
 *   rtc_msg {signal} (from a peer) | callers_name {offer} (the first offer, at almostReady)
 * The host also runs macPrivacyDisable('Camera' | 'Microphone') and DeviceButton.hideAllDropdows().
 *
 * Out of the page: window.webkit.messageHandlers.OrvelanRTC.postMessage([NAME, DATA]), two
 * strings: almostReady, minWidth "px", ready (in this order, once the page is built), settings
 * "json", invite, conversation, leave, privacy "Camera" | "Microphone", nameIn "id\r\nname" (a
 * peer the host did not add reached us), and for a peer: NAME = its user id, DATA = the JSON text
 * of a signalling object. No user id equal to one of the names above is ever posted.
 *
 * Signalling objects; every SDP carries all its candidates, since the hosts may deliver texts out
 * of order:
 *   {"v":1,"type":"offer","from":id,"name":text,"session":id,"sdp":text}
 *   {"v":1,"type":"answer","from":id,"name":text,"session":id,"sdp":text}
 * Once connected, peers talk over a data channel: {"type":"state","video":bool,"audio":bool} and
 * {"type":"peers","peers":[{"uid":id,"name":text}]}, with which a newcomer calls everyone already
 * in the call. Of two peers that call each other at once, the smaller user id keeps its offer.
 *
 * Everything from a peer or the host is data: parsed as JSON, checked, shown with textContent.
 */
'use strict';

const PAGE_CSS = String.raw`%%CSS%%`;
const PAGE_HTML = String.raw`%%HTML%%`;
const SETTINGS_TEXT = '%%SETTINGS%%';
let localization = {};
//LOCALIZATION//

const UNREPLACED = /^%%[A-Z]+%%$/;
const BRIDGE_NAMES = new Set(['settings', 'nameIn', 'invite', 'conversation', 'leave', 'minWidth',
  'ready', 'almostReady', 'privacy']);
const LIMITS = { id: 64, name: 200, chat: 2000, sdp: 200000, signal: 262144, roster: 64,
  channel: 65536, chatLines: 3 };
const GATHER_WAIT_MS = 3000;
const CHAT_LINE_MS = 12000;
const RESTARTS = 3;

// Defence in depth: no script but this one, and no network, whatever ends up in the page.
(function lockDown() {
  const meta = document.createElement('meta');
  meta.httpEquiv = 'Content-Security-Policy';
  meta.content = "default-src 'none'; script-src 'none'; style-src 'unsafe-inline'; " +
    "img-src data:; media-src blob: mediastream:; connect-src 'none'; font-src 'none'; " +
    "object-src 'none'; frame-src 'none'; base-uri 'none'; form-action 'none'; " +
    "require-trusted-types-for 'script'; trusted-types murnavell-page";
  document.head.appendChild(meta);
})();

// The one policy that may turn text into markup: it passes this page's own HTML and nothing else.
const pageMarkup = window.trustedTypes
  ? window.trustedTypes.createPolicy('murnavell-page', {
    createHTML: (text) => (text === PAGE_HTML ? text : ''),
  })
  : { createHTML: (text) => (text === PAGE_HTML ? text : '') };

function t(key) {
  const table = localization;
  if (table && typeof table === 'object' && Object.prototype.hasOwnProperty.call(table, key) &&
      typeof table[key] === 'string') {
    return table[key];
  }
  return key;
}

// A function replacement, so "$&" and friends in a name stay as they are.
function tf(key, value) {
  return t(key).replace('%s', () => value);
}

function isRecord(value) {
  return value !== null && typeof value === 'object' && !Array.isArray(value);
}

function validId(value) {
  return typeof value === 'string' && value.length > 0 && value.length <= LIMITS.id &&
    !/[\u0000-\u001f\u007f]/.test(value) && !BRIDGE_NAMES.has(value);
}

function cleanText(value, max) {
  if (typeof value !== 'string') return '';
  return value.slice(0, max).replace(/[\u0000-\u001f\u007f]+/g, ' ').trim();
}

function initialOf(name) {
  const first = Array.from(name.trim())[0];
  return first ? first.toLocaleUpperCase() : '?';
}

function randomSession() {
  const bytes = new Uint8Array(12);
  crypto.getRandomValues(bytes);
  return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
}

// Posts to the call window; keeps the messages while its bridge is not there yet.
const Host = {
  pending: [],
  timer: 0,
  post(name, data) {
    this.pending.push([String(name), String(data === undefined ? '' : data)]);
    this.flush();
  },
  flush() {
    const handlers = window.webkit && window.webkit.messageHandlers;
    const handler = handlers && handlers.OrvelanRTC;
    if (!handler || typeof handler.postMessage !== 'function') {
      if (!this.timer) {
        this.timer = setTimeout(() => {
          this.timer = 0;
          this.flush();
        }, 50);
      }
      return;
    }
    while (this.pending.length) handler.postMessage(this.pending.shift());
  },
};

const DEVICE_KINDS = { camera: 'videoinput', microphone: 'audioinput', speakers: 'audiooutput' };

function loadSettings(raw) {
  let value = raw;
  if (typeof value === 'string') {
    try {
      value = JSON.parse(value);
    } catch {
      value = null;
    }
  }
  const settings = {};
  if (!isRecord(value)) return settings;
  for (const kind of Object.keys(DEVICE_KINDS)) {
    const device = value[kind];
    if (isRecord(device) && typeof device.id === 'string' && device.id.length <= 512) {
      settings[kind] = { id: device.id, label: cleanText(device.label, LIMITS.name) };
    }
  }
  return settings;
}

const settings = loadSettings(SETTINGS_TEXT);

const me = { uid: '', name: '' };
const names = new Map(); // user id -> name given by the host
const peers = new Map(); // user id -> Peer
const pendingOffers = new Map(); // user id -> {name, session, sdp}, while not joined
const toCall = new Map(); // user id -> name, added while ringing
let phase = 'waiting'; // waiting | ringing | joined
let ui = null;
const early = [];

// Camera: on | off | missing | denied. Microphone: on | muted | off | missing | denied.
// Speakers: on | muted | missing.
const media = {
  audio: null,
  video: null,
  camera: 'off',
  microphone: 'off',
  speakers: 'on',
  preview: new MediaStream(),
  busy: { camera: false, microphone: false },
};

function displayName(uid, signalled) {
  return names.get(uid) || signalled || uid;
}

function saveSettings() {
  Host.post('settings', JSON.stringify(settings));
}

async function listDevices(kind) {
  if (!navigator.mediaDevices || !navigator.mediaDevices.enumerateDevices) return [];
  try {
    const all = await navigator.mediaDevices.enumerateDevices();
    return all.filter((d) => d.kind === DEVICE_KINDS[kind]);
  } catch {
    return [];
  }
}

function currentDeviceId(kind) {
  if (kind === 'camera' && media.video) return media.video.getSettings().deviceId || '';
  if (kind === 'microphone' && media.audio) return media.audio.getSettings().deviceId || '';
  return settings[kind] ? settings[kind].id : '';
}

function trackConstraints(kind, exactId) {
  const base = kind === 'camera' ? { width: { ideal: 1280 }, height: { ideal: 720 } }
    : { echoCancellation: true, noiseSuppression: true };
  if (exactId) return Object.assign(base, { deviceId: { exact: exactId } });
  if (settings[kind]) return Object.assign(base, { deviceId: settings[kind].id });
  return base;
}

// Opens the camera or the microphone; exactId when the user chose a device.
async function acquire(kind, exactId) {
  if (media[kind] === 'denied' || media.busy[kind]) return;
  if (!navigator.mediaDevices || !navigator.mediaDevices.getUserMedia) {
    media[kind] = 'missing';
    refreshControls();
    return;
  }
  const mediaKind = kind === 'camera' ? 'video' : 'audio';
  media.busy[kind] = true;
  try {
    const stream = await navigator.mediaDevices.getUserMedia({
      [mediaKind]: trackConstraints(kind, exactId),
    });
    let track = stream.getTracks()[0];
    // Device ids can change between runs; the label then finds the chosen device again.
    const wanted = settings[kind];
    if (!exactId && wanted && wanted.label && track.getSettings().deviceId !== wanted.id &&
        track.label !== wanted.label) {
      const same = (await listDevices(kind)).find((d) => d.label === wanted.label);
      if (same) {
        try {
          const again = await navigator.mediaDevices.getUserMedia({
            [mediaKind]: trackConstraints(kind, same.deviceId),
          });
          track.stop();
          track = again.getTracks()[0];
        } catch {
          // the first device stays
        }
      }
    }
    if (media[kind] === 'denied' || phase !== 'joined') {
      track.stop();
      return;
    }
    if (kind === 'microphone') track.enabled = media.microphone !== 'muted';
    setLocalTrack(mediaKind, track);
    if (kind === 'camera') media.camera = 'on';
    else if (media.microphone !== 'muted') media.microphone = 'on';
  } catch (error) {
    const name = error && error.name;
    media[kind] = name === 'NotFoundError' || name === 'OverconstrainedError' ||
      name === 'DevicesNotFoundError' ? 'missing' : 'off';
  } finally {
    media.busy[kind] = false;
    refreshControls();
    broadcastState();
  }
}

function setLocalTrack(mediaKind, track) {
  const old = media[mediaKind];
  if (old && old !== track) {
    media.preview.removeTrack(old);
    old.stop();
  }
  media[mediaKind] = track;
  if (track) {
    media.preview.addTrack(track);
    track.addEventListener('ended', () => {
      if (media[mediaKind] !== track) return;
      setLocalTrack(mediaKind, null);
      if (mediaKind === 'video') media.camera = 'off';
      else media.microphone = 'off';
      refreshControls();
      broadcastState();
    });
  }
  for (const peer of peers.values()) peer.sendTrack(mediaKind, track);
  // Only a stream with a track: an empty one would hold back the document's load event for ever.
  if (ui && track) ui.local.setStream(media.preview);
  if (ui) ui.local.setVideo(media.video !== null);
}

function toggleCamera() {
  if (phase !== 'joined') return;
  if (media.camera === 'denied') {
    Host.post('privacy', 'Camera');
  } else if (media.camera === 'on') {
    setLocalTrack('video', null);
    media.camera = 'off';
    refreshControls();
    broadcastState();
  } else {
    acquire('camera');
  }
}

function toggleMicrophone() {
  if (phase !== 'joined') return;
  if (media.microphone === 'denied') {
    Host.post('privacy', 'Microphone');
    return;
  }
  if (media.microphone === 'on' || media.microphone === 'muted') {
    media.microphone = media.microphone === 'on' ? 'muted' : 'on';
    if (media.audio) media.audio.enabled = media.microphone === 'on';
    refreshControls();
    broadcastState();
  } else {
    acquire('microphone');
  }
}

function toggleSpeakers() {
  if (media.speakers === 'missing') return;
  media.speakers = media.speakers === 'on' ? 'muted' : 'on';
  for (const peer of peers.values()) peer.tile.video.muted = media.speakers !== 'on';
  refreshControls();
}

async function chooseDevice(kind, device) {
  settings[kind] = { id: device.deviceId, label: cleanText(device.label, LIMITS.name) };
  saveSettings();
  if (kind === 'speakers') {
    for (const peer of peers.values()) await applySink(peer.tile.video);
  } else if (kind === 'camera' ? media.camera === 'on' : media.microphone === 'on' ||
             media.microphone === 'muted') {
    await acquire(kind, device.deviceId);
  }
  refreshControls();
}

async function applySink(element) {
  const wanted = settings.speakers;
  if (!wanted || typeof element.setSinkId !== 'function' || element.sinkId === wanted.id) return;
  try {
    await element.setSinkId(wanted.id);
  } catch {
    // a vanished output device: the default one plays on
  }
}

async function refreshSpeakers() {
  const outputs = await listDevices('speakers');
  if (!outputs.length) media.speakers = 'missing';
  else if (media.speakers === 'missing') media.speakers = 'on';
  refreshControls();
}

// One split button of the toolbar: a toggle and a menu of the devices of its kind.
class DeviceButton {
  static all = [];

  static hideAllDropdows() {
    for (const button of DeviceButton.all) button.hide();
  }

  constructor(kind, title, onToggle) {
    const root = ui.deviceTemplate.content.firstElementChild.cloneNode(true);
    root.id = `${kind}-control`;
    ui.devices.appendChild(root);
    this.root = root;
    this.kind = kind;
    this.toggle = root.querySelector('.toggle');
    this.chooser = root.querySelector('.chooser');
    this.dropdown = root.querySelector('.dropdown');
    this.list = root.querySelector('.device-list');
    this.icon = this.toggle.querySelector('use');
    this.text = this.toggle.querySelector('.btn-text');
    this.opening = 0;
    this.title = t(title);
    root.querySelector('.dropdown-title').textContent = this.title;
    this.chooser.setAttribute('aria-label', this.title);
    this.chooser.title = this.title;
    this.list.setAttribute('aria-label', this.title);
    this.toggle.addEventListener('click', onToggle);
    this.chooser.addEventListener('click', () => (this.isOpen() ? this.hide() : this.show()));
    root.addEventListener('keydown', (event) => this.onKey(event));
    root.addEventListener('focusout', (event) => {
      if (!root.contains(event.relatedTarget)) this.hide();
    });
    DeviceButton.all.push(this);
  }

  isOpen() {
    return !this.dropdown.hidden;
  }

  items() {
    return Array.from(this.list.querySelectorAll('.device-item'));
  }

  async show() {
    DeviceButton.hideAllDropdows();
    const ticket = ++this.opening;
    const devices = await listDevices(this.kind);
    if (ticket !== this.opening) return;
    const current = currentDeviceId(this.kind);
    this.list.replaceChildren();
    devices.forEach((device, index) => {
      const item = ui.deviceItem.content.firstElementChild.cloneNode(true);
      const button = item.querySelector('button');
      button.textContent = cleanText(device.label, LIMITS.name) || `${this.title} ${index + 1}`;
      button.setAttribute('aria-checked', String(device.deviceId === current));
      button.tabIndex = -1;
      button.addEventListener('click', () => {
        this.hide();
        this.chooser.focus();
        chooseDevice(this.kind, device);
      });
      this.list.appendChild(item);
    });
    this.dropdown.hidden = false;
    this.chooser.setAttribute('aria-expanded', 'true');
    const items = this.items();
    const checked = items.find((b) => b.getAttribute('aria-checked') === 'true') || items[0];
    if (checked) checked.focus();
  }

  hide() {
    this.opening++;
    if (this.dropdown.hidden) return;
    const hadFocus = this.dropdown.contains(document.activeElement);
    this.dropdown.hidden = true;
    this.chooser.setAttribute('aria-expanded', 'false');
    if (hadFocus) this.chooser.focus();
  }

  onKey(event) {
    const items = this.items();
    const at = items.indexOf(document.activeElement);
    if (event.key === 'Escape' && this.isOpen()) {
      this.hide();
      this.chooser.focus();
    } else if ((event.key === 'ArrowDown' || event.key === 'ArrowUp') && at < 0 &&
               document.activeElement === this.chooser) {
      this.show();
    } else if (at >= 0 && ['ArrowDown', 'ArrowUp', 'Home', 'End'].includes(event.key)) {
      const next = { ArrowDown: Math.min(at + 1, items.length - 1), ArrowUp: Math.max(at - 1, 0),
        Home: 0, End: items.length - 1 }[event.key];
      items[next].focus();
    } else if (event.key === 'Tab' && this.isOpen()) {
      this.hide();
      return;
    } else {
      return;
    }
    event.preventDefault();
  }

  render(label, icon, pressed, state, note) {
    this.text.textContent = label;
    this.toggle.setAttribute('aria-label', label);
    this.toggle.title = note ? `${label}\n${note}` : label;
    this.toggle.setAttribute('aria-pressed', String(pressed));
    this.icon.setAttribute('href', icon);
    this.root.dataset.state = state;
  }
}

// One picture with a name: the local preview or a peer.
class Tile {
  constructor(template, local) {
    this.root = template.content.firstElementChild.cloneNode(true);
    this.video = this.root.querySelector('video');
    this.nameLabel = this.root.querySelector('.tile-name');
    this.initial = this.root.querySelector('.initial');
    this.video.autoplay = true;
    this.hasFrames = false;
    this.wantsVideo = false;
    if (local) {
      this.root.classList.add('local');
      this.video.muted = true;
    }
    const frames = () => {
      this.hasFrames = this.video.videoWidth > 0;
      this.update();
    };
    this.video.addEventListener('loadedmetadata', frames);
    this.video.addEventListener('resize', frames);
  }

  setName(name) {
    this.nameLabel.textContent = name;
    this.initial.textContent = initialOf(name);
    this.root.setAttribute('aria-label', name);
  }

  setStream(stream) {
    if (this.video.srcObject !== stream) this.video.srcObject = stream;
    this.video.play().catch(() => {});
  }

  setVideo(on) {
    this.wantsVideo = on;
    if (!on) this.hasFrames = false;
    this.update();
  }

  setMicOff(off) {
    this.root.classList.toggle('mic-off', off);
  }

  setConnection(state) {
    this.root.dataset.connection = state;
  }

  update() {
    this.root.dataset.video = this.wantsVideo && this.hasFrames ? 'on' : 'off';
  }
}

function gathered(pc) {
  return new Promise((resolve) => {
    if (pc.iceGatheringState === 'complete') {
      resolve();
      return;
    }
    const done = () => {
      clearTimeout(timer);
      pc.removeEventListener('icegatheringstatechange', check);
      resolve();
    };
    const check = () => {
      if (pc.iceGatheringState === 'complete') done();
    };
    const timer = setTimeout(done, GATHER_WAIT_MS);
    pc.addEventListener('icegatheringstatechange', check);
  });
}

function sendSignal(uid, fields) {
  if (!validId(uid) || !me.uid) return;
  Host.post(uid, JSON.stringify(Object.assign({ v: 1, type: fields.type, from: me.uid,
    name: me.name }, fields)));
}

// One peer connection with its tile.
class Peer {
  constructor(uid, name, session, offerer, introduced) {
    this.uid = uid;
    this.signalledName = name;
    this.session = session;
    this.offerer = offerer;
    this.introduced = introduced;
    this.closed = false;
    this.everConnected = false;
    this.restarts = 0;
    this.lastRemoteSdp = '';
    this.remoteState = { video: true, audio: true };
    this.stream = new MediaStream();
    this.pc = new RTCPeerConnection({ iceServers: [] });
    this.channel = this.pc.createDataChannel('murnavell', { negotiated: true, id: 0 });
    this.tile = new Tile(ui.tileTemplate, false);
    this.tile.video.muted = media.speakers !== 'on';
    this.tile.setName(this.name());
    this.tile.setVideo(true);
    this.tile.setConnection(offerer ? 'calling' : 'connecting');
    applySink(this.tile.video);
    ui.grid.appendChild(this.tile.root);

    this.pc.addEventListener('track', (event) => {
      if (!this.stream.getTracks().includes(event.track)) this.stream.addTrack(event.track);
      this.tile.setStream(this.stream);
    });
    this.pc.addEventListener('connectionstatechange', () => this.onConnectionState());
    this.channel.addEventListener('open', () => this.onChannelOpen());
    this.channel.addEventListener('message', (event) => this.onChannelMessage(event.data));
  }

  name() {
    return displayName(this.uid, this.signalledName);
  }

  transceiver(kind) {
    return this.pc.getTransceivers().find((tr) => !tr.stopped && tr.receiver.track &&
      tr.receiver.track.kind === kind);
  }

  sendTrack(kind, track) {
    const transceiver = this.transceiver(kind);
    if (transceiver) transceiver.sender.replaceTrack(track).catch(() => {});
  }

  attachLocal() {
    for (const kind of ['audio', 'video']) {
      const transceiver = this.transceiver(kind);
      if (!transceiver) continue;
      transceiver.direction = 'sendrecv';
      transceiver.sender.replaceTrack(media[kind]).catch(() => {});
    }
  }

  // Sets our side's description, waits for its candidates and sends it whole.
  async describe(type, description) {
    await this.pc.setLocalDescription(description);
    await gathered(this.pc);
    if (this.closed) return;
    sendSignal(this.uid, { type, session: this.session, sdp: this.pc.localDescription.sdp });
  }

  async offer(restart) {
    try {
      if (!restart) {
        this.pc.addTransceiver('audio', { direction: 'sendrecv' });
        this.pc.addTransceiver('video', { direction: 'sendrecv' });
        this.attachLocal();
      }
      await this.describe('offer', await this.pc.createOffer({ iceRestart: !!restart }));
    } catch (error) {
      this.fail(error);
    }
  }

  async answer(sdp) {
    this.lastRemoteSdp = sdp;
    try {
      await this.pc.setRemoteDescription({ type: 'offer', sdp });
      this.attachLocal();
      await this.describe('answer', await this.pc.createAnswer());
    } catch (error) {
      this.fail(error);
    }
  }

  async accept(sdp) {
    try {
      await this.pc.setRemoteDescription({ type: 'answer', sdp });
      if (!this.closed) this.tile.setConnection('connecting');
    } catch (error) {
      this.fail(error);
    }
  }

  fail(error) {
    if (this.closed) return;
    console.warn('call: connection with a peer failed', error && error.name);
    this.tile.setConnection('lost');
  }

  onConnectionState() {
    if (this.closed) return;
    const state = this.pc.connectionState;
    if (state === 'connected') {
      this.everConnected = true;
      this.restarts = 0;
      this.tile.setConnection('live');
      if (!this.introduced) {
        this.introduced = true;
        Host.post('nameIn', `${this.uid}\r\n${this.name()}`);
      }
    } else if (state === 'failed') {
      this.tile.setConnection('lost');
      if (this.offerer && this.restarts < RESTARTS && this.pc.signalingState === 'stable') {
        this.restarts++;
        this.offer(true);
      }
    } else if (state === 'disconnected') {
      this.tile.setConnection('lost');
    } else if (state === 'connecting') {
      this.tile.setConnection('connecting');
    }
  }

  onChannelOpen() {
    this.sendState();
    // Whoever's channel is open is in the call. The connection state may still read "new" or
    // "connecting" when a channel opens, so two peers whose channels opened close together
    // would otherwise each be left out of the other's list and never call each other.
    const others = [];
    for (const peer of peers.values()) {
      if (peer !== this && peer.channel.readyState === 'open') {
        others.push({ uid: peer.uid, name: peer.name() });
      }
    }
    this.send({ type: 'peers', peers: others });
  }

  send(message) {
    if (this.channel.readyState !== 'open') return;
    try {
      this.channel.send(JSON.stringify(message));
    } catch {
      // a channel closing under us; the connection state tells the rest
    }
  }

  sendState() {
    this.send({ type: 'state', video: media.camera === 'on', audio: media.microphone === 'on' });
  }

  onChannelMessage(data) {
    if (typeof data !== 'string' || data.length > LIMITS.channel) return;
    let message;
    try {
      message = JSON.parse(data);
    } catch {
      return;
    }
    if (!isRecord(message)) return;
    if (message.type === 'state') {
      this.remoteState = { video: message.video === true, audio: message.audio === true };
      this.tile.setVideo(this.remoteState.video);
      this.tile.setMicOff(!this.remoteState.audio);
    } else if (message.type === 'peers' && Array.isArray(message.peers)) {
      for (const entry of message.peers.slice(0, LIMITS.roster)) {
        if (!isRecord(entry) || !validId(entry.uid) || entry.uid === me.uid) continue;
        if (!peers.has(entry.uid)) callPeer(entry.uid, cleanText(entry.name, LIMITS.name), false);
      }
    }
  }

  rename() {
    this.tile.setName(this.name());
  }

  close() {
    if (this.closed) return;
    this.closed = true;
    try {
      this.pc.close();
    } catch {
      // already closed
    }
    this.tile.video.srcObject = null;
    this.tile.root.remove();
  }
}

function removePeer(uid) {
  const peer = peers.get(uid);
  if (peer) {
    peer.close();
    peers.delete(uid);
  }
  layout();
}

function callPeer(uid, name, introduced) {
  if (!validId(uid) || uid === me.uid) return;
  const existing = peers.get(uid);
  if (existing && !['failed', 'closed'].includes(existing.pc.connectionState)) {
    if (introduced) existing.introduced = true;
    return;
  }
  if (existing) removePeer(uid);
  const peer = new Peer(uid, name, randomSession(), true, introduced);
  peers.set(uid, peer);
  layout();
  peer.offer(false);
}

function acceptOffer(from, name, session, sdp) {
  let peer = peers.get(from);
  if (peer && peer.session === session) {
    // The same session again: an ICE restart from the peer, or the same text delivered twice.
    if (!peer.offerer && peer.pc.signalingState === 'stable' && peer.lastRemoteSdp !== sdp) {
      peer.answer(sdp);
    }
    return;
  }
  if (peer && !peer.everConnected && peer.pc.signalingState === 'have-local-offer' &&
      me.uid < from) {
    return; // both called at once; ours stands and the peer takes it
  }
  const introduced = peer ? peer.introduced : false;
  if (peer) removePeer(from);
  peer = new Peer(from, name, session, false, introduced);
  peers.set(from, peer);
  layout();
  peer.answer(sdp);
}

function onSignal(data) {
  let message = data;
  if (typeof message === 'string') {
    if (message.length > LIMITS.signal) return;
    try {
      message = JSON.parse(message);
    } catch {
      return;
    }
  }
  if (!isRecord(message)) return;
  const { type, from, session, sdp } = message;
  if (!validId(from) || from === me.uid) return;
  if (typeof session !== 'string' || !/^[A-Za-z0-9]{8,64}$/.test(session)) return;
  if (typeof sdp !== 'string' || sdp.length > LIMITS.sdp || !sdp.startsWith('v=0')) return;
  const name = cleanText(message.name, LIMITS.name);
  if (type === 'offer') {
    if (phase === 'joined') {
      acceptOffer(from, name, session, sdp);
    } else {
      pendingOffers.set(from, { name, session, sdp });
      ring();
    }
  } else if (type === 'answer') {
    const peer = peers.get(from);
    if (peer && peer.offerer && peer.session === session &&
        peer.pc.signalingState === 'have-local-offer') {
      if (name) peer.signalledName = name;
      peer.rename();
      peer.accept(sdp);
    }
  }
}

function ring() {
  if (!pendingOffers.size) {
    if (phase === 'ringing') {
      phase = 'waiting';
      showScreen();
    }
    return;
  }
  const [uid, offer] = pendingOffers.entries().next().value;
  const name = displayName(uid, offer.name);
  ui.joinTitle.textContent = tf('%s is calling.', name);
  ui.joinInitial.textContent = initialOf(name);
  if (phase !== 'ringing') {
    phase = 'ringing';
    showScreen();
    ui.joinPrimary.focus();
  }
}

async function join(mode, byUser) {
  if (phase === 'joined') return;
  phase = 'joined';
  showScreen();
  // The join button just clicked is gone; keep the keyboard user in the controls.
  if (byUser) ui.microphone.toggle.focus();
  if (mode === 'camera' || mode === 'microphone') await acquire('microphone');
  if (mode === 'camera') await acquire('camera');
  refreshSpeakers();
  for (const [uid, offer] of pendingOffers) acceptOffer(uid, offer.name, offer.session, offer.sdp);
  pendingOffers.clear();
  for (const [uid, name] of toCall) callPeer(uid, name, true);
  toCall.clear();
}

function showScreen() {
  const ringing = phase === 'ringing';
  ui.join.hidden = !ringing;
  ui.call.hidden = ringing;
  document.body.dataset.phase = phase;
  refreshControls();
}

function broadcastState() {
  for (const peer of peers.values()) peer.sendState();
}

function sentence(...parts) {
  return parts.join('');
}

function notices() {
  const lines = [];
  const heard = media.microphone === 'on';
  if (media.camera === 'missing') {
    lines.push(t('Camera not found.'));
  } else if (media.camera !== 'on') {
    lines.push(heard
      ? sentence(t('Your camera is off.'), ' ', t('Other users cannot see you'), t(','), ' ',
        t('but they still CAN hear you'), t('.'))
      : sentence(t('Your camera is off.'), ' ', t('Other users cannot see you'), t('.')));
  }
  if (media.microphone === 'missing') {
    lines.push(t('Microphone not found.'));
  } else if (!heard) {
    lines.push(sentence(t('Your microphone is off.'), ' ', t('Other users cannot hear you.')));
  }
  if (media.speakers === 'missing') {
    lines.push(t('Speakers not found.'));
  } else if (media.speakers === 'muted') {
    lines.push(heard
      ? sentence(t('Your speakers are off.'), ' ', t('You cannot hear other users'), t(','), ' ',
        t('but they still CAN hear you'), t('.'))
      : sentence(t('Your speakers are off.'), ' ', t('You cannot hear other users'), t('.')));
  }
  return lines;
}

function refreshControls() {
  if (!ui) return;
  const [cameraNote, micNote, speakersNote] = ['camera', 'microphone', 'speakers'].map((kind) => {
    const state = media[kind];
    if (state === 'missing') {
      return t({ camera: 'Camera not found.', microphone: 'Microphone not found.',
        speakers: 'Speakers not found.' }[kind]);
    }
    return state === 'on' ? '' : t({ camera: 'Your camera is off.',
      microphone: 'Your microphone is off.', speakers: 'Your speakers are off.' }[kind]);
  });
  const cameraOn = media.camera === 'on';
  ui.camera.render(t(cameraOn ? 'Stop Video' : 'Start Video'),
    cameraOn ? '#icon-camera' : '#icon-camera-off', !cameraOn, media.camera, cameraNote);
  const micOn = media.microphone === 'on';
  ui.microphone.render(t(micOn ? 'Mute Mic' : 'Unmute Mic'), micOn ? '#icon-mic' : '#icon-mic-off',
    !micOn, media.microphone, micNote);
  const speakersOn = media.speakers === 'on';
  ui.speakers.render(t(speakersOn ? 'Mute Speakers' : 'Unmute Speakers'),
    speakersOn ? '#icon-speaker' : '#icon-speaker-off', !speakersOn, media.speakers, speakersNote);
  ui.local.setMicOff(!micOn);
  ui.local.setVideo(cameraOn);
  const lines = phase === 'joined' ? notices() : [];
  ui.notices.replaceChildren(...lines.map((line) => {
    const p = document.createElement('p');
    p.textContent = line;
    return p;
  }));
  fitToolbar();
}

function fitToolbar() {
  ui.toolbar.classList.remove('compact');
  if (ui.toolbar.scrollWidth > ui.toolbar.clientWidth) ui.toolbar.classList.add('compact');
}

const TILE_GAP = 10;
const TILE_RATIO = 4 / 3;

// Columns and tile size that give the largest tiles of one shape on the stage.
function gridFor(count, width, height) {
  let best = { cols: 1, tileWidth: 0 };
  for (let cols = 1; cols <= count; cols++) {
    const rows = Math.ceil(count / cols);
    const tileWidth = Math.floor(Math.min((width - TILE_GAP * (cols - 1)) / cols,
      ((height - TILE_GAP * (rows - 1)) / rows) * TILE_RATIO));
    if (tileWidth > best.tileWidth) best = { cols, tileWidth };
  }
  return best;
}

// Alone or with one peer the local picture sits in a corner; with more it joins the grid.
function layout() {
  if (!ui) return;
  const count = peers.size;
  const style = ui.grid.style;
  const inGrid = count >= 2;
  const home = inGrid ? ui.grid : ui.localSlot;
  if (ui.local.root.parentElement !== home || home.lastElementChild !== ui.local.root) {
    home.appendChild(ui.local.root);
  }
  if (inGrid) {
    const rect = ui.stage.getBoundingClientRect();
    const width = Math.max(gridFor(count + 1, rect.width, rect.height).tileWidth, 40);
    style.setProperty('--tile-width', `${width}px`);
    style.setProperty('--tile-height', `${Math.floor(width / TILE_RATIO)}px`);
  } else {
    style.removeProperty('--tile-width');
    style.removeProperty('--tile-height');
  }
  ui.stage.dataset.count = String(count);
  ui.localSlot.hidden = inGrid;
  ui.localSlot.classList.toggle('solo', count === 0);
}

function showChatLine(uid, name, text) {
  if (uid === me.uid || !text) return;
  const line = document.createElement('button');
  line.type = 'button';
  line.className = 'chat-line';
  const who = document.createElement('strong');
  who.textContent = name || displayName(uid, '');
  const what = document.createElement('span');
  what.textContent = text;
  line.append(who, what);
  line.setAttribute('aria-label', `${who.textContent}: ${text}`);
  line.addEventListener('click', () => Host.post('conversation', ''));
  ui.chat.appendChild(line);
  while (ui.chat.children.length > LIMITS.chatLines) ui.chat.firstElementChild.remove();
  setTimeout(() => line.remove(), CHAT_LINE_MS);
}

function splitFields(data, count) {
  const fields = [];
  let rest = data;
  for (let i = 1; i < count; i++) {
    const at = rest.indexOf('\b');
    if (at < 0) break;
    fields.push(rest.slice(0, at));
    rest = rest.slice(at + 1);
  }
  fields.push(rest);
  return fields;
}

const inbound = new Map([
  ['uid', (data) => {
    if (validId(data)) me.uid = data;
  }],
  ['name', (data) => {
    me.name = cleanText(data, LIMITS.name);
    ui.local.setName(me.name || me.uid);
  }],
  ['add', (data) => {
    const [uid, name = ''] = splitFields(data, 2);
    if (!validId(uid) || uid === me.uid) return;
    names.set(uid, cleanText(name, LIMITS.name) || uid);
    if (phase === 'joined') {
      callPeer(uid, names.get(uid), true);
    } else if (phase === 'ringing') {
      toCall.set(uid, names.get(uid));
    } else {
      toCall.set(uid, names.get(uid));
      join('camera');
    }
  }],
  ['rename', (data) => {
    const [uid, name = ''] = splitFields(data, 2);
    const clean = cleanText(name, LIMITS.name);
    if (!validId(uid) || !clean) return;
    names.set(uid, clean);
    const peer = peers.get(uid);
    if (peer) peer.rename();
    if (phase === 'ringing') ring();
  }],
  ['left', (data) => {
    pendingOffers.delete(data);
    toCall.delete(data);
    removePeer(data);
    if (phase === 'ringing') ring();
  }],
  ['message', (data) => {
    const [uid, name = '', text = ''] = splitFields(data, 3);
    showChatLine(uid, cleanText(name, LIMITS.name), cleanText(text, LIMITS.chat));
  }],
  ['enableWindow', (data) => {
    const enabled = data !== '0';
    if (!enabled) DeviceButton.hideAllDropdows();
    ui.call.inert = !enabled;
    ui.join.inert = !enabled;
    document.body.classList.toggle('disabled', !enabled);
  }],
  ['rtc_msg', onSignal],
  ['callers_name', onSignal],
]);

// The host's one way into the page.
function exeMsgReceived(message) {
  if (!isRecord(message) || typeof message.message !== 'string') return;
  if (!ui) {
    early.push(message);
    return;
  }
  const handler = inbound.get(message.message);
  if (!handler) return;
  const data = message.data;
  const objectData = message.message === 'rtc_msg' || message.message === 'callers_name';
  if (!objectData && typeof data !== 'string') return;
  try {
    handler(data);
  } catch (error) {
    console.error('call: message not handled', message.message, error && error.name);
  }
}

// The system refused access to a device; the page shows it and offers the privacy settings.
function macPrivacyDisable(kind) {
  const key = { Camera: 'camera', Microphone: 'microphone' }[kind];
  if (!key) return;
  media[key] = 'denied';
  setLocalTrack(key === 'camera' ? 'video' : 'audio', null);
  refreshControls();
  broadcastState();
}

function measureMinWidth() {
  ui.toolbar.classList.add('compact', 'measuring');
  const width = Math.ceil(ui.toolbar.scrollWidth);
  ui.toolbar.classList.remove('measuring');
  fitToolbar();
  return Math.max(width, 360);
}

function build() {
  const style = document.createElement('style');
  style.textContent = UNREPLACED.test(PAGE_CSS) ? '' : PAGE_CSS;
  document.head.appendChild(style);
  const template = document.createElement('template');
  template.innerHTML = pageMarkup.createHTML(UNREPLACED.test(PAGE_HTML) ? '' : PAGE_HTML);
  document.body.replaceChildren(template.content);

  for (const element of document.querySelectorAll('[data-text]')) {
    element.textContent = t(element.dataset.text);
  }
  for (const element of document.querySelectorAll('[data-label]')) {
    element.setAttribute('aria-label', t(element.dataset.label));
    element.title = t(element.dataset.label);
  }
  const byId = (id) => document.getElementById(id);
  ui = {
    call: byId('call'),
    join: byId('join'),
    joinTitle: byId('join-title'),
    joinInitial: byId('join-initial'),
    joinPrimary: document.querySelector('.join-option.primary'),
    stage: byId('stage'),
    grid: byId('grid'),
    localSlot: byId('local-tile-slot'),
    chat: byId('chat-strip'),
    notices: byId('notices'),
    toolbar: byId('toolbar'),
    leave: byId('leave-button'),
    tileTemplate: byId('tile-template'),
    devices: byId('devices'),
    deviceTemplate: byId('device-template'),
    deviceItem: byId('device-item-template'),
  };
  ui.local = new Tile(ui.tileTemplate, true);
  ui.local.setConnection('live');
  ui.localSlot.appendChild(ui.local.root);
  ui.camera = new DeviceButton('camera', 'Select a Camera', toggleCamera);
  ui.microphone = new DeviceButton('microphone', 'Select a Microphone', toggleMicrophone);
  ui.speakers = new DeviceButton('speakers', 'Select Speakers', toggleSpeakers);

  byId('invite-button').addEventListener('click', () => Host.post('invite', ''));
  byId('conversation-button').addEventListener('click', () => Host.post('conversation', ''));
  ui.leave.addEventListener('click', () => Host.post('leave', ''));
  byId('decline-button').addEventListener('click', () => Host.post('leave', ''));
  for (const option of document.querySelectorAll('[data-join]')) {
    option.addEventListener('click', () => join(option.dataset.join, true));
  }
  document.addEventListener('pointerdown', (event) => {
    if (!(event.target instanceof Element) || !event.target.closest('.device')) {
      DeviceButton.hideAllDropdows();
    }
  });
  if (navigator.mediaDevices) {
    navigator.mediaDevices.addEventListener('devicechange', () => {
      refreshSpeakers();
      for (const peer of peers.values()) applySink(peer.tile.video);
    });
  }
  new ResizeObserver(() => {
    layout();
    fitToolbar();
  }).observe(ui.stage);
  window.addEventListener('beforeunload', () => {
    for (const peer of peers.values()) peer.close();
  });

  showScreen();
  layout();
  refreshSpeakers();
  for (const message of early.splice(0)) exeMsgReceived(message);
  Host.post('almostReady', '');
  Host.post('minWidth', String(measureMinWidth()));
  Host.post('ready', '');
}

if (document.readyState === 'loading') {
  document.addEventListener('DOMContentLoaded', build, { once: true });
} else {
  build();
}
