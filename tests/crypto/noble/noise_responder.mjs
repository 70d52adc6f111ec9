// An independent responder for the gate handshake, written from the protocol's description with
// node:crypto (P-256, HMAC-SHA256, AES-256-GCM, SHA-256) and @noble/post-quantum (ML-KEM-768). It
// opens msg1 made by our initiator (noise_tool) and answers with a msg2 that the initiator must
// open. Usage: node noise_responder.mjs <path of noise_tool>. Exit 0 iff every check holds.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { createCipheriv, createDecipheriv, createECDH, createHash, createHmac, randomBytes } from 'node:crypto';
import { createInterface } from 'node:readline';
import { ml_kem768 } from '@noble/post-quantum/ml-kem.js';

const tool = process.argv[2];
if (!tool) {
  console.error('usage: node noise_responder.mjs <noise_tool>');
  process.exit(2);
}

const PROTOCOL = 'Quorbelt_IK_P256+MLKEM768_AESGCM_SHA256';
const PROLOGUE = 'quorbelt-noise-v2';
const sha256 = (...parts) => createHash('sha256').update(Buffer.concat(parts)).digest();
const hmac = (key, ...parts) => createHmac('sha256', key).update(Buffer.concat(parts)).digest();

// Noise's symmetric state, with HKDF(ck, x, 2) written out as the Noise framework defines it.
class Symmetric {
  constructor() {
    const name = Buffer.from(PROTOCOL);
    this.h = name.length <= 32 ? Buffer.concat([name, Buffer.alloc(32 - name.length)]) : sha256(name);
    this.ck = Buffer.from(this.h);
    this.k = null;
    this.n = 0n;
  }
  mixHash(data) {
    this.h = sha256(this.h, Buffer.from(data));
  }
  mixKey(x) {
    const temp = hmac(this.ck, Buffer.from(x));
    const out1 = hmac(temp, Buffer.from([1]));
    const out2 = hmac(temp, out1, Buffer.from([2]));
    this.ck = out1;
    this.k = out2;
    this.n = 0n;
  }
  nonce() {
    const iv = Buffer.alloc(12);
    iv.writeBigUInt64BE(this.n, 4);
    return iv;
  }
  encryptAndHash(plain) {
    const c = createCipheriv('aes-256-gcm', this.k, this.nonce());
    c.setAAD(this.h);
    const out = Buffer.concat([c.update(Buffer.from(plain)), c.final(), c.getAuthTag()]);
    this.n += 1n;
    this.mixHash(out);
    return out;
  }
  decryptAndHash(sealed) {
    sealed = Buffer.from(sealed);
    const d = createDecipheriv('aes-256-gcm', this.k, this.nonce());
    d.setAAD(this.h);
    d.setAuthTag(sealed.subarray(sealed.length - 16));
    const out = Buffer.concat([d.update(sealed.subarray(0, sealed.length - 16)), d.final()]);
    this.n += 1n;
    this.mixHash(sealed);
    return out;
  }
}

// The responder's static keys: a P-256 pair and an ML-KEM-768 pair; rs = P-256 point || ML-KEM key.
const p256 = createECDH('prime256v1');
p256.generateKeys();
const kem = ml_kem768.keygen();
const rs = Buffer.concat([p256.getPublicKey(), Buffer.from(kem.publicKey)]);

// Opens msg1 and writes msg2 around the reply; throws when msg1 does not open.
function respond(msg1, reply, prologue = PROLOGUE) {
  const st = new Symmetric();
  st.mixHash(Buffer.from(prologue));
  st.mixHash(rs); // pre-message: <- s
  const re = msg1.subarray(0, 65); // -> e
  st.mixHash(re);
  st.mixKey(p256.computeSecret(re)); // es
  const ct = msg1.subarray(65, 65 + 1088); // the hybrid step: KEM ciphertext, then its secret
  st.mixHash(ct);
  st.mixKey(Buffer.from(ml_kem768.decapsulate(new Uint8Array(ct), kem.secretKey)));
  const initiatorStatic = st.decryptAndHash(msg1.subarray(1153, 1153 + 81)); // s
  st.mixKey(p256.computeSecret(initiatorStatic)); // ss
  const payload = st.decryptAndHash(msg1.subarray(1234));

  const e = createECDH('prime256v1');
  e.generateKeys();
  const ePub = e.getPublicKey(); // <- e
  st.mixHash(ePub);
  st.mixKey(e.computeSecret(re)); // ee
  st.mixKey(e.computeSecret(initiatorStatic)); // se
  return { payload, msg2: Buffer.concat([ePub, st.encryptAndHash(reply)]) };
}

// One exchange with our initiator; answer(msg1) returns msg2 or null to send none.
async function exchange(payload, answer) {
  const child = spawn(tool, [], { stdio: ['pipe', 'pipe', 'inherit'] });
  const lines = createInterface({ input: child.stdout })[Symbol.asyncIterator]();
  child.stdin.write(`${rs.toString('hex')}\n${payload.toString('hex')}\n`);
  const msg1 = Buffer.from((await lines.next()).value ?? '', 'hex');
  const msg2 = answer(msg1);
  if (msg2) child.stdin.write(`${msg2.toString('hex')}\n`);
  child.stdin.end();
  const out = (await lines.next()).value ?? '';
  await once(child, 'close');
  return { msg1, out };
}

let checks = 0;
let failures = 0;
const check = (what, ok) => {
  checks++;
  if (!ok) {
    failures++;
    console.error(`FAIL: ${what}`);
  }
};

for (const size of [0, 1, 33, 70000]) {
  const payload = randomBytes(size);
  const reply = randomBytes((size * 7) % 500);
  let opened = null;
  const { msg1, out } = await exchange(payload, (m1) => {
    try {
      const r = respond(m1, reply);
      opened = r.payload;
      return r.msg2;
    } catch (e) {
      console.error(`responder: ${e.message}`);
      return null;
    }
  });
  check(`payload ${size}: msg1 is payload + 1250 bytes`, msg1.length === size + 1250);
  check(`payload ${size}: the responder opens msg1`, opened !== null && opened.equals(payload));
  check(`payload ${size}: our initiator opens msg2`, out === `ok ${reply.toString('hex')}`);
}

// Another prologue: the responder cannot open msg1.
{
  let refused = false;
  await exchange(Buffer.from('x'), (m1) => {
    try {
      respond(m1, Buffer.alloc(0), 'quorbelt-noise-v1');
    } catch {
      refused = true;
    }
    return null;
  });
  check('another prologue is refused', refused);
}

// A changed byte of msg2 after re: our initiator refuses it with QB-0003.
{
  const { out } = await exchange(Buffer.from('y'), (m1) => {
    const { msg2 } = respond(m1, Buffer.from('reply'));
    msg2[msg2.length - 1] ^= 1;
    return msg2;
  });
  check('a changed tag is refused', out.startsWith('err ') && out.includes('QB-0003'));
}

console.log(`noise transcript check: ${checks - failures}/${checks} hold`);
process.exit(failures === 0 ? 0 : 1);
