// Loads the test extension into Chromium (headless, a new profile), registers the built extension
// executable as its native-messaging host and sends each message through
// chrome.runtime.sendNativeMessage from the extension's service worker. Every answer must equal
// the JSON given after its message.
//
//   node native_messaging_test.mjs EXECUTABLE MESSAGE_JSON EXPECTED_JSON [MESSAGE_JSON EXPECTED_JSON]...
//
// The browser, and through it the host, runs in this process's environment (where an updater's
// platform root would be set). Exit 0 when every answer matched, 1 otherwise, 77 without Chromium.
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';
import {isDeepStrictEqual} from 'node:util';

const kChromium = '/usr/bin/chromium';
const kHostName = 'com.bramlow.safari_extension';
const kSkip = 77;

// The browser derives an extension's id from its public key: the first 128 bits of its SHA-256,
// one letter a-p per hexadecimal digit.
function extensionId(manifest) {
  const digest = crypto.createHash('sha256').update(Buffer.from(manifest.key, 'base64')).digest();
  return [...digest.subarray(0, 16).toString('hex')]
      .map((digit) => String.fromCharCode(97 + parseInt(digit, 16)))
      .join('');
}

async function main() {
  const [host, ...pairs] = process.argv.slice(2);
  if (!host || pairs.length === 0 || pairs.length % 2) throw new Error('usage: see the header');
  const cases = [];
  for (let i = 0; i < pairs.length; i += 2) {
    cases.push({message: JSON.parse(pairs[i]), expected: JSON.parse(pairs[i + 1])});
  }
  if (!fs.existsSync(kChromium)) {
    console.log(`SKIP: no browser at ${kChromium}`);
    return kSkip;
  }
  const {chromium} = await import('playwright-core');
  const extensionDir = path.join(path.dirname(fileURLToPath(import.meta.url)), 'extension');
  const manifest = JSON.parse(fs.readFileSync(path.join(extensionDir, 'manifest.json'), 'utf8'));
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'bramlow-browser-'));
  let context = null;
  try {
    const hosts = path.join(profile, 'NativeMessagingHosts');
    fs.mkdirSync(hosts);
    fs.writeFileSync(path.join(hosts, `${kHostName}.json`), JSON.stringify({
      name: kHostName,
      description: 'Bramlow for Safari Extension',
      path: path.resolve(host),
      type: 'stdio',
      allowed_origins: [`chrome-extension://${extensionId(manifest)}/`],
    }));
    context = await chromium.launchPersistentContext(profile, {
      executablePath: kChromium,
      // Extensions load only in the new headless mode, which the flag asks for.
      headless: false,
      ignoreDefaultArgs: ['--disable-extensions'],
      args: [
        '--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync',
        `--disable-extensions-except=${extensionDir}`, `--load-extension=${extensionDir}`,
      ],
      timeout: 120000,
    });
    const worker = context.serviceWorkers()[0] ??
        await context.waitForEvent('serviceworker', {timeout: 60000});
    let failed = 0;
    for (const {message, expected} of cases) {
      let answer;
      try {
        answer = await worker.evaluate(
            ([host, body]) => chrome.runtime.sendNativeMessage(host, body), [kHostName, message]);
      } catch (error) {
        answer = {browserError: String(error.message ?? error)};
      }
      const ok = isDeepStrictEqual(answer, expected);
      if (!ok) ++failed;
      console.log(`${ok ? 'ok' : 'FAILED'} ${JSON.stringify(message)} -> ${JSON.stringify(answer)}` +
                  (ok ? '' : ` (expected ${JSON.stringify(expected)})`));
    }
    console.log(`${cases.length - failed} passed, ${failed} failed`);
    return failed ? 1 : 0;
  } finally {
    if (context) await context.close();
    fs.rmSync(profile, {recursive: true, force: true});
  }
}

main().then((code) => process.exit(code), (error) => {
  console.error(error);
  process.exit(1);
});
