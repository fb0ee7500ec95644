import { test } from 'node:test';
import assert from 'node:assert/strict';
import { sharedBrowser } from './support/browser.mjs';
import { FakeHost, Relay } from './support/host.mjs';
import { link, linksUp, screen, control } from './support/probe.mjs';
import { shot } from './support/screenshots.mjs';

const shared = sharedBrowser();
const { skip } = shared;

test('a one-to-one call rings, connects and carries pictures both ways', { skip, timeout: 180000 },
  async () => {
    const relay = new Relay();
    const alice = new FakeHost(shared.browser, relay, { uid: 'A100000001', name: 'Alice Archer' });
    const bob = new FakeHost(shared.browser, relay, { uid: 'A200000002', name: 'Bob Brown' });
    await alice.open();
    alice.callUser(bob.uid);

    // Bob's window opens for the first offer; the page shows who calls before anything else.
    await bob.waitFor(() => bob.page, 'the incoming call window');
    await bob.waitForPost('ready');
    await bob.poll(() => !document.getElementById('join').hidden, null, 'the join screen');
    assert.equal((await bob.page.evaluate(screen)).joinTitle, 'Alice Archer is calling.');
    assert.ok(bob.initialOffer, 'the first offer was kept for "almostReady"');
    await shot(bob.page, 'call-page-incoming');

    await bob.page.getByRole('button', { name: 'with your camera and microphone' }).click();
    await alice.poll(linksUp, [bob.uid], 'pictures from Bob');
    await bob.poll(linksUp, [alice.uid], 'pictures from Alice');
    const seen = await alice.page.evaluate(link, bob.uid);
    assert.equal(seen.name, 'Bob Brown');
    assert.equal(seen.shown, 'on');
    assert.ok(seen.width > 0 && seen.framesDecoded > 0);

    // The page told its window about the caller it met; the caller's window added Bob itself.
    assert.deepEqual(bob.postsNamed('nameIn'), [`${alice.uid}\r\nAlice Archer`]);
    assert.deepEqual(alice.postsNamed('nameIn'), []);
    for (const host of [alice, bob]) {
      const order = host.posts.map(([n]) => n).filter((n) => ['almostReady', 'ready'].includes(n));
      assert.deepEqual(order, ['almostReady', 'ready']);
      assert.match(host.postsNamed('minWidth')[0], /^\d+$/);
      assert.deepEqual(host.errors, []);
      assert.deepEqual(host.blocked, []);
    }
    await alice.page.waitForTimeout(500);
    await shot(alice.page, 'call-page-one-to-one');

    // Bob leaves: Alice's page drops his tile and stays open.
    await bob.close();
    await alice.poll(() => peers.size === 0, null, 'Bob gone');
    assert.equal((await alice.page.evaluate(screen)).phase, 'joined');
    await alice.close();
  });
