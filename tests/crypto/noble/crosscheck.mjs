// Checks our ML-KEM-768 against @noble/post-quantum, both ways, for fresh random keys made by our
// code: noble must decapsulate our ciphertexts to our shared secret, and we must decapsulate
// noble's to noble's. Usage: node crosscheck.mjs <path of mlkem_tool>. Exit 0 iff all agree.
import { execFileSync } from 'node:child_process';
import { randomBytes } from 'node:crypto';
import { ml_kem768 } from '@noble/post-quantum/ml-kem.js';

const tool = process.argv[2];
if (!tool) {
  console.error('usage: node crosscheck.mjs <mlkem_tool>');
  process.exit(2);
}

const ours = (...args) => execFileSync(tool, args, { encoding: 'utf8' }).trim().split('\n');
const hex = (bytes) => Buffer.from(bytes).toString('hex');
const bytes = (text) => new Uint8Array(Buffer.from(text, 'hex'));

let failures = 0;
let checks = 0;
const check = (what, ok) => {
  checks++;
  if (!ok) {
    failures++;
    console.error(`FAIL: ${what}`);
  }
};

const ROUNDS = 8;
for (let round = 0; round < ROUNDS; round++) {
  const [ekHex, dkHex] = ours('keygen');
  const ek = bytes(ekHex);
  const dk = bytes(dkHex);
  check(`round ${round}: key sizes`, ek.length === 1184 && dk.length === 2400);

  // noble encapsulates to our key; we decapsulate.
  const theirs = ml_kem768.encapsulate(ek);
  const [ourSecret] = ours('decaps', dkHex, hex(theirs.cipherText));
  check(`round ${round}: our decapsulation of noble's ciphertext`, ourSecret === hex(theirs.sharedSecret));

  // We encapsulate; noble decapsulates with our key.
  const [cHex, kHex] = ours('encaps', ekHex);
  check(`round ${round}: noble's decapsulation of our ciphertext`, hex(ml_kem768.decapsulate(bytes(cHex), dk)) === kHex);

  // A changed ciphertext: both derive the same implicit-rejection secret, unlike the real one.
  const tampered = bytes(cHex);
  tampered[(round * 131) % tampered.length] ^= 0x01;
  const [ourRejection] = ours('decaps', dkHex, hex(tampered));
  check(`round ${round}: implicit rejection agrees`,
        ourRejection === hex(ml_kem768.decapsulate(tampered, dk)) && ourRejection !== kHex);

  // Key generation from one random seed gives the same keys.
  const seed = new Uint8Array(randomBytes(64));
  const [seedEk, seedDk] = ours('keygen', hex(seed));
  const nobleKeys = ml_kem768.keygen(seed);
  check(`round ${round}: key generation from a seed`,
        seedEk === hex(nobleKeys.publicKey) && seedDk === hex(nobleKeys.secretKey));
}

console.log(`noble cross-check: ${checks - failures}/${checks} agree over ${ROUNDS} fresh key pairs`);
process.exit(failures === 0 ? 0 : 1);
