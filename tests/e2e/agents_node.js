// An agent written for Node.js with https-proxy-agent, configured the way its users configure it:
// the agent built from HTTPS_PROXY (credentials in the URL), the proxy's CA in NODE_EXTRA_CA_CERTS.
// Prints what it got back as one JSON object.
'use strict';
const crypto = require('crypto');
const https = require('https');
const { HttpsProxyAgent } = require('https-proxy-agent');

const [base, large] = [process.argv[2], Number(process.argv[3])];
const agent = new HttpsProxyAgent(process.env.HTTPS_PROXY);

function get(path, headers, onData) {
  return new Promise((resolve, reject) => {
    const req = https.get(base + path, { agent, headers }, (res) => {
      res.on('data', onData);
      res.on('end', () => resolve(res.statusCode));
      res.on('error', reject);
    });
    req.on('error', reject);
  });
}

async function small(path, headers = {}) {
  const chunks = [];
  const status = await get(path, headers, (c) => chunks.push(c));
  return { status, body: Buffer.concat(chunks).toString('utf8') };
}

async function streamed(path) {
  const digest = crypto.createHash('sha256');
  let bytes = 0;
  const status = await get(path, {}, (c) => {
    digest.update(c);
    bytes += c.length;
  });
  return { status, bytes, sha256: digest.digest('hex') };
}

(async () => {
  const out = {
    header_ref: await small('/ref', { Authorization: 'Bearer quorbelt://api/token' }),
    url_match: await small('/match'),
    refused: await small('/steal', { Authorization: 'Bearer quorbelt://billing/token' }),
    large: await streamed(`/download?n=${large}`),
  };
  agent.destroy();
  console.log(JSON.stringify(out));
})().catch((e) => {
  console.error(e);
  process.exit(1);
});
