// Functions run inside a page to read what it shows and what its connections carry.

export function link(uid) {
  const peer = peers.get(uid);
  if (!peer) return null;
  return peer.pc.getStats().then((report) => {
    let framesDecoded = 0;
    let audioBytes = 0;
    report.forEach((entry) => {
      if (entry.type !== 'inbound-rtp') return;
      if (entry.kind === 'video') framesDecoded += entry.framesDecoded || 0;
      if (entry.kind === 'audio') audioBytes += entry.bytesReceived || 0;
    });
    const video = peer.tile.video;
    return { state: peer.pc.connectionState, framesDecoded, audioBytes,
      width: video.videoWidth, height: video.videoHeight, shown: peer.tile.root.dataset.video,
      name: peer.tile.nameLabel.textContent, micOff: peer.tile.root.classList.contains('mic-off'),
      muted: video.muted, sinkId: video.sinkId };
  });
}

export function linksUp(uids) {
  return Promise.all(uids.map((uid) => {
    const peer = peers.get(uid);
    if (!peer || peer.pc.connectionState !== 'connected') return false;
    return peer.pc.getStats().then((report) => {
      let frames = 0;
      report.forEach((e) => {
        if (e.type === 'inbound-rtp' && e.kind === 'video') frames += e.framesDecoded || 0;
      });
      return frames > 0 && peer.tile.video.videoWidth > 0;
    });
  })).then((all) => all.every(Boolean) && peers.size === uids.length);
}

export function screen() {
  const visible = (id) => !document.getElementById(id).hidden;
  return { phase, join: visible('join'), call: visible('call'),
    joinTitle: document.getElementById('join-title').textContent,
    notices: Array.from(document.querySelectorAll('#notices p'), (p) => p.textContent) };
}

export function control(kind) {
  const root = document.getElementById(`${kind}-control`);
  const toggle = root.querySelector('.toggle');
  return { state: root.dataset.state, label: toggle.getAttribute('aria-label'),
    text: toggle.querySelector('.btn-text').textContent,
    pressed: toggle.getAttribute('aria-pressed'),
    open: !root.querySelector('.dropdown').hidden };
}

export function received(uid) {
  return peers.get(uid).pc.getStats().then((report) => {
    const totals = { frames: 0, energy: 0 };
    report.forEach((entry) => {
      if (entry.type !== 'inbound-rtp') return;
      if (entry.kind === 'video') totals.frames += entry.framesDecoded || 0;
      if (entry.kind === 'audio') totals.energy += entry.totalAudioEnergy || 0;
    });
    return totals;
  });
}

export function sending(uid) {
  const peer = peers.get(uid);
  const track = (kind) => peer.transceiver(kind).sender.track;
  const audio = track('audio');
  const video = track('video');
  return { audio: audio && { label: audio.label, enabled: audio.enabled, same: audio === media.audio },
    video: video && { label: video.label, same: video === media.video } };
}

// What a page knows of its peers, for the message of a failed wait.
export function peerStates() {
  return { phase, me: me.uid, peers: Array.from(peers.values(), (peer) => ({ uid: peer.uid,
    offerer: peer.offerer, session: peer.session, connection: peer.pc.connectionState,
    ice: peer.pc.iceConnectionState, signaling: peer.pc.signalingState,
    channel: peer.channel.readyState, everConnected: peer.everConnected })) };
}
