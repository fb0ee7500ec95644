// Stands in for the call window: assembles the page exactly as the window will, offers the
// script message handler, queues messages until "ready", and relays signalling texts between
// the pages of several users the way the messaging port does.
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { peerStates } from './probe.mjs';

export const PAGE_DIR = path.resolve(path.dirname(fileURLToPath(import.meta.url)),
  '../../../../src/calls/page');
export const BASE_URL = 'https://call.murnavell.localhost/';

export const LOCALIZATION_KEYS = ['Stop Video', 'Start Video', 'Your camera is off.',
  'Camera not found.', 'Other users cannot see you', ',', 'but they still CAN hear you', '.',
  'Select a Camera', 'Mute Mic', 'Unmute Mic', 'Your microphone is off.', 'Microphone not found.',
  'Other users cannot hear you.', 'Select a Microphone', 'Mute Speakers', 'Unmute Speakers',
  'Your speakers are off.', 'Speakers not found.', 'You cannot hear other users', ',',
  'but they still CAN hear you', '.', 'Select Speakers', 'Invite', 'Show Conversation', 'Leave',
  'Join the call...', 'with your camera and microphone', 'with your microphone only',
  'without a camera or microphone', '%s is calling.'];

export const PALETTES = {
  light: { accentColor: 'rgba(53,132,228,1.00)', buttonBackgound: 'rgba(252,252,252,1.00)',
    textColor: 'rgba(35,38,41,1.00)', pushedButtonTextColor: 'rgba(255,255,255,1.00)',
    buttonShadow: 'rgba(118,118,118,1.00)', buttonHighlight: 'rgba(255,255,255,1.00)',
    windowBackground: 'rgba(239,240,241,1.00)' },
  dark: { accentColor: 'rgba(61,174,233,1.00)', buttonBackgound: 'rgba(49,54,59,1.00)',
    textColor: 'rgba(239,240,241,1.00)', pushedButtonTextColor: 'rgba(252,252,252,1.00)',
    buttonShadow: 'rgba(0,0,0,1.00)', buttonHighlight: 'rgba(64,70,76,1.00)',
    windowBackground: 'rgba(32,35,38,1.00)' },
};

// A string literal of the page's script language: JSON, with "<" escaped so that nothing in it
// can end the script element or open a comment inside it.
export function jsString(text) {
  return JSON.stringify(String(text)).replace(/</g, '\\u003c');
}

export function jsObject(value) {
  return JSON.stringify(value).replace(/</g, '\\u003c');
}

const read = (name) => fs.readFileSync(path.join(PAGE_DIR, name), 'utf8');

export function pageSources() {
  return { html: read('index.html'), js: read('main.js'), css: read('main.css'),
    catalina: read('catalina.css') };
}

export function localizationScript(translations = {}) {
  const entries = LOCALIZATION_KEYS.map((key) =>
    `${jsString(key)}:${jsString(Object.hasOwn(translations, key) ? translations[key] : key)}`);
  return `localization = {${entries.join(',')}};`;
}

export function colourBlock(palette) {
  return ':root {' + Object.entries(palette).map(([name, value]) => `--${name}: ${value};`).join('');
}

export function assemble({ settings = null, translations = {}, palette = PALETTES.light } = {}) {
  const sources = pageSources();
  const css = sources.css + sources.catalina + colourBlock(palette);
  const script = sources.js
    .replaceAll('%%CSS%%', () => css)
    .replaceAll('%%HTML%%', () => sources.html)
    .replaceAll("'%%SETTINGS%%'", () => (settings === null ? "'{}'" : jsString(settings)))
    .replaceAll('//LOCALIZATION//', () => localizationScript(translations));
  return `<!DOCUMENT html><head><script>${script}</script></head><html></html>`;
}

const bridgeNames = new Set(['settings', 'nameIn', 'invite', 'conversation', 'leave', 'minWidth',
  'ready', 'almostReady', 'privacy']);

export class Relay {
  constructor() {
    this.hosts = new Map();
    this.dropped = [];
    this.held = null;
  }

  // Holds every text until release(), so that texts can cross each other on the way.
  hold() {
    this.held = [];
  }

  release() {
    const held = this.held || [];
    this.held = null;
    for (const args of held) this.deliver(...args);
  }

  add(host) {
    this.hosts.set(host.uid, host);
    return host;
  }

  // One signalling text from one user's page to another user, like one "TRTCACTION".
  deliver(from, to, text) {
    if (this.held) {
      this.held.push([from, to, text]);
      return;
    }
    const target = this.hosts.get(to);
    if (!target || target.closed) {
      this.dropped.push({ from, to, text });
      return;
    }
    setTimeout(() => target.receiveSignal(from, text), 5);
  }

  callClosed(from, to) {
    const target = this.hosts.get(to);
    if (target && target.page && !target.closed) target.peerLeft(from);
  }
}

export class FakeHost {
  constructor(browser, relay, { uid, name, translations = {}, settings = null,
    palette = PALETTES.light, cameraDenied = false, microphoneDenied = false,
    viewport = { width: 960, height: 600 }, installBridge = true } = {}) {
    Object.assign(this, { browser, relay, uid, name, translations, settings, palette,
      cameraDenied, microphoneDenied, viewport, installBridge });
    this.queue = [];
    this.ready = false;
    this.closed = false;
    this.incoming = false;
    this.initialOffer = null;
    this.peers = new Set();
    this.posts = [];
    this.dialogs = [];
    this.errors = [];
    this.console = [];
    this.blocked = [];
    this.waiters = [];
    this.chain = Promise.resolve();
    relay.add(this);
  }

  // Creating the call: the window opens and loads the page; "uid" and "name" wait for "ready".
  async open({ incoming = false } = {}) {
    if (this.opening) return this.opening;
    this.incoming = incoming;
    this.opening = (async () => {
      this.html = assemble({ settings: this.settings, translations: this.translations,
        palette: this.palette });
      this.context = await this.browser.newContext({ viewport: this.viewport });
      await this.context.route('**/*', (route) => {
        const url = route.request().url();
        if (url === BASE_URL) {
          return route.fulfill({ status: 200, contentType: 'text/html; charset=utf-8',
            body: this.html });
        }
        this.blocked.push(url);
        return route.abort();
      });
      await this.context.exposeBinding('murnavellHostPost', (source, body) => this.fromPage(body));
      if (this.installBridge) await this.context.addInitScript(installBridge);
      this.page = await this.context.newPage();
      this.page.on('dialog', (dialog) => {
        this.dialogs.push(dialog.message());
        dialog.dismiss().catch(() => {});
      });
      this.page.on('pageerror', (error) => this.errors.push(String(error)));
      this.page.on('console', (message) => this.console.push(`${message.type()}: ${message.text()}`));
      this.post('uid', this.uid);
      this.post('name', this.name);
      await this.page.goto(BASE_URL);
    })();
    return this.opening;
  }

  async installBridgeNow() {
    await this.page.evaluate(installBridge);
  }

  // The one way into the page.
  post(message, data) {
    let literal;
    if (message === 'rtc_msg' || message === 'callers_name') {
      let value;
      try {
        value = JSON.parse(data);
      } catch {
        return false;
      }
      if (value === null || typeof value !== 'object' || Array.isArray(value)) return false;
      literal = jsObject(value);
    } else {
      literal = jsString(data);
    }
    const script = `exeMsgReceived({message:${jsString(message)},data:${literal}});`;
    if (this.ready) this.run(script);
    else this.queue.push(script);
    return true;
  }

  run(script) {
    this.chain = this.chain.then(() => this.page.evaluate(script)).catch((error) => {
      if (!this.closed) this.errors.push(String(error));
    });
    return this.chain;
  }

  // A user is called (from the window's own side: a new call or an invitation).
  callUser(uid) {
    const other = this.relay.hosts.get(uid);
    this.peers.add(uid);
    this.post('add', `${uid}\b${other ? other.name : uid}`);
  }

  fromPage(body) {
    if (!Array.isArray(body) || body.length < 1) return;
    const name = String(body[0]);
    const data = String(body[body.length - 1]);
    this.posts.push([name, data]);
    if (name === 'almostReady') {
      this.run('document.body.oncontextmenu = e => e.preventDefault();');
      if (this.cameraDenied) this.run("macPrivacyDisable('Camera');");
      if (this.microphoneDenied) this.run("macPrivacyDisable('Microphone');");
      if (this.initialOffer) {
        const value = JSON.parse(this.initialOffer);
        this.run(`exeMsgReceived({message:'callers_name',data:${jsObject(value)}});`);
      }
    } else if (name === 'ready') {
      this.ready = true;
      for (const script of this.queue.splice(0)) this.run(script);
    } else if (name === 'settings') {
      this.settings = data;
    } else if (name === 'nameIn') {
      const uid = data.split('\r\n')[0];
      if (this.relay.hosts.has(uid)) this.peers.add(uid);
    } else if (!bridgeNames.has(name)) {
      this.relay.deliver(this.uid, name, data);
    }
    for (const waiter of this.waiters.slice()) waiter();
  }

  async receiveSignal(from, text) {
    if (this.closed || !this.relay.hosts.has(from)) return;
    if (!this.page) {
      this.peers.add(from);
      const opening = this.open({ incoming: true });
      this.takeSignal(text);
      await opening;
      return;
    }
    this.takeSignal(text);
  }

  takeSignal(text) {
    if (!this.ready && this.incoming && this.initialOffer === null && text.includes('offer') &&
        text.includes('name')) {
      try {
        const value = JSON.parse(text);
        if (value && typeof value === 'object' && !Array.isArray(value)) this.initialOffer = text;
      } catch {
        // not an object: never handed to the page
      }
    }
    this.post('rtc_msg', text);
  }

  peerLeft(uid) {
    this.peers.delete(uid);
    this.post('left', uid);
  }

  // Leaving: every peer is told, then the window goes.
  async close() {
    if (this.closed) return;
    for (const uid of this.peers) this.relay.callClosed(this.uid, uid);
    this.closed = true;
    if (this.context) await this.context.close().catch(() => {});
  }

  postsNamed(name) {
    return this.posts.filter(([n]) => n === name).map(([, data]) => data);
  }

  // Waits are bounded generously: the suite runs these browsers beside others and beside builds.
  waitForPost(name, predicate = () => true, timeout = 45000) {
    return this.waitFor(() => this.posts.find(([n, d]) => n === name && predicate(d)),
      `a "${name}" post from ${this.uid}`, timeout);
  }

  waitFor(check, what, timeout = 45000) {
    return new Promise((resolve, reject) => {
      const done = () => {
        const value = check();
        if (!value) return;
        cleanup();
        resolve(value);
      };
      const timer = setTimeout(() => {
        cleanup();
        reject(new Error(`timed out waiting for ${what}`));
      }, timeout);
      const cleanup = () => {
        clearTimeout(timer);
        this.waiters = this.waiters.filter((w) => w !== done);
      };
      this.waiters.push(done);
      done();
    });
  }

  // Polls a function in the page until it returns a truthy value.
  async poll(fn, arg, what, timeout = 45000) {
    const until = Date.now() + timeout;
    for (;;) {
      const value = await this.page.evaluate(fn, arg);
      if (value) return value;
      if (Date.now() > until) {
        const state = await this.page.evaluate(peerStates).catch((error) => String(error));
        throw new Error(`timed out in ${this.uid}'s page: ${what}; it has ${JSON.stringify(state)}; ` +
          `its console: ${JSON.stringify(this.console.slice(-10))}`);
      }
      await new Promise((resolve) => setTimeout(resolve, 100));
    }
  }
}

// What the call window offers the page: the script message handler under its name.
function installBridge() {
  window.webkit = { messageHandlers: { OrvelanRTC: {
    postMessage: (body) => window.murnavellHostPost(body),
  } } };
}
