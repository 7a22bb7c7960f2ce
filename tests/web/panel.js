// t483ctl serve's web panel in Debian's Chromium (headless, playwright-core)
// against the simulator: one row for each thing the page must do.
//
//   node panel.js [--screenshot FILE]
//
// T483_SIM and T483_CTL name the programs; CHROMIUM the browser
// (/usr/bin/chromium). Exits 77 (skipped) without the browser or
// playwright-core, 1 when a row fails.
'use strict';
const { spawn, spawnSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

let chromium;
try {
  ({ chromium } = require('playwright-core'));
} catch (e) {
  console.log('SKIP: playwright-core is not installed (scripts/dev installs it with npm ci)');
  process.exit(77);
}
const browserPath = process.env.CHROMIUM || '/usr/bin/chromium';
if (!fs.existsSync(browserPath)) {
  console.log(`SKIP: no browser at ${browserPath}`);
  process.exit(77);
}
const SLACK = Number(process.env.T483_TEST_SLACK || 1);

// A child's output lines as they come, and a wait for one that matches.
class Child {
  constructor(program, args) {
    this.lines = [];
    this.errors = [];
    this.process = spawn(program, args, { stdio: ['pipe', 'pipe', 'pipe'] });
    for (const [stream, into] of [[this.process.stdout, this.lines], [this.process.stderr, this.errors]]) {
      let partial = '';
      stream.on('data', (data) => {
        const parts = (partial + data).split('\n');
        partial = parts.pop();
        into.push(...parts);
      });
    }
  }
  async wait(what, regex, from = 0) {
    return waitFor(what, () => this.lines.slice(from).map((l) => l.match(regex)).find((m) => m));
  }
  say(line) { this.process.stdin.write(line + '\n'); }
  stop() {
    if (this.process.exitCode === null && this.process.signalCode === null) this.process.kill('SIGTERM');
  }
}

async function waitFor(what, condition, seconds = 10) {
  const end = Date.now() + seconds * 1000 * SLACK;
  for (;;) {
    const value = await condition();
    if (value) return value;
    if (Date.now() > end) throw new Error(`waited in vain for ${what}`);
    await new Promise((r) => setTimeout(r, 20));
  }
}

// A simulator, and the link `port` to its device (as /dev/serial/by-id has
// one), made anew.
async function simulator(port, ...args) {
  const sim = new Child(process.env.T483_SIM, args);
  const device = (await sim.wait("the simulator's device", /^(\/dev\/\S+)$/))[1];
  fs.rmSync(port, { force: true });
  fs.symlinkSync(device, port);
  return sim;
}

// The simulator and the server on it, in `folder`; its web panel's address.
async function bench(folder, ...serveArgs) {
  const port = path.join(folder, 'usb-T483-if00-port0');
  const b = { port, sim: await simulator(port) };
  b.server = new Child(process.env.T483_CTL, ['--port', port, 'serve', '--listen', '127.0.0.1:0',
                                              '--http', '127.0.0.1:0', '--no-mdns', ...serveArgs]);
  b.scpi = Number((await b.server.wait("SCPI's port", /^listening on 127\.0\.0\.1:(\d+)/))[1]);
  b.url = (await b.server.wait('the web panel', /^web panel on (http:\S+)$/))[1];
  b.stop = () => { b.server.stop(); b.sim.stop(); };
  return b;
}

// The serial commands the simulator has logged since line `from`.
const sent = (sim, from = 0) => sim.lines.slice(from).map((l) => l.split(' ')[0]).filter((c) => /^[A-Z]/.test(c));
const text = (page, selector) => page.textContent(selector);

const rows = {
  async 'shows the resistance and voltage and follows the front panel'(b, browser) {
    b.sim.say('front 4072');
    b.sim.say('voltage 2500');
    const page = await browser.newPage();
    await page.goto(b.url);
    await waitFor('4072 on the page', async () => (await page.inputValue('#odpor')) === '4072');
    await waitFor('2.5 kV lit', async () => page.$('#LED2.on'));
    b.sim.say('front 1234');
    b.sim.say('voltage 5000');
    await waitFor('1234 on the page', async () => (await page.inputValue('#odpor')) === '1234');
    await waitFor('the knobs', async () => (await text(page, '#R3-display')) === '1' && (await text(page, '#R0-display')) === '4');
    await waitFor('5 kV lit alone', async () => (await page.$('#LED1.on')) && !(await page.$('#LED2.on')));
  },

  async 'a knob and a typed value put L0 and R<n> on the line'(b, browser) {
    const page = await browser.newPage();
    await page.goto(b.url);
    await waitFor('the first state', async () => (await page.inputValue('#odpor')) === '100');
    let from = b.sim.lines.length;
    await page.click('#R3-up');   // x 1G one up: 1000 + 100
    await waitFor('L0 R1100', () => sent(b.sim, from).join(' ').includes('L0 R1100'));
    await waitFor('REM lit', async () => page.$('#LED4.on'));
    // Typed: the numeric takes 0 to 15000, the knobs show its digits, the
    // thousands knob taking R / 1000 whole.
    from = b.sim.lines.length;
    await page.fill('#odpor', '99999');
    await page.press('#odpor', 'Enter');
    await waitFor('R15000', () => sent(b.sim, from).includes('R15000'));
    await waitFor('the knobs at 15000', async () => (await text(page, '#R3-display')) === '15' && (await text(page, '#R0-display')) === '0');
    // The knobs compose what the numeric cannot: 15 x 1G and 11 x 1M.
    from = b.sim.lines.length;
    for (let i = 0; i < 11; i++) await page.click('#R0-up');
    await waitFor('R15011', () => sent(b.sim, from).includes('R15011'));
  },

  async 'two pages and a PyVISA client see each other, one command at a time'(b, browser) {
    const [one, two] = [await browser.newContext(), await browser.newContext()];
    const p1 = await one.newPage(), p2 = await two.newPage();
    await p1.goto(b.url);
    await p2.goto(b.url);
    await waitFor('both pages', async () => (await p1.inputValue('#odpor')) === '100' && (await p2.inputValue('#odpor')) === '100');
    const visa = spawn('/usr/bin/python3', ['-c', `
import pyvisa, sys
rm = pyvisa.ResourceManager("@py")
inst = rm.open_resource("TCPIP::127.0.0.1::${b.scpi}::SOCKET", read_termination="\\n", write_termination="\\n", timeout=10000)
for i in range(30):
    inst.write("RES %d MOHM" % (2000 + i))
    inst.query("RES?")
seen = inst.query("RES?")
print(seen)
`], { stdio: ['ignore', 'pipe', 'inherit'] });
    const visaEnded = new Promise((r) => visa.on('exit', r));
    for (let i = 0; i < 5; i++) {
      await p1.click('#R1-up');
      await p2.click('#R2-up');
    }
    const code = await visaEnded;
    if (code !== 0) throw new Error(`the PyVISA client ended with ${code}`);
    await p1.fill('#odpor', '777');
    await p1.press('#odpor', 'Enter');
    await waitFor('the other page sees it', async () => (await p2.inputValue('#odpor')) === '777');
    await waitFor('who did it', async () => (await text(p2, '#change')).startsWith('web 127.0.0.1: R777'));
    // Commands that overlapped on the line would come to the instrument
    // as one unknown command.
    const bad = sent(b.sim).filter((c) => !/^(I|K|M|L0|L1|R\d+|P0)$/.test(c));
    if (bad.length) throw new Error(`overlapping commands on the line: ${bad.join(', ')}`);
    await one.close();
    await two.close();
  },

  async 'Power OFF asks first, then sends P0 and shows the instrument off'(b, browser) {
    const page = await browser.newPage();
    await page.goto(b.url);
    await waitFor('the first state', async () => (await page.inputValue('#odpor')) === '100');
    let from = b.sim.lines.length;
    page.once('dialog', (d) => d.dismiss());
    await page.click('#vyp');
    page.once('dialog', (d) => d.accept());
    await page.click('#vyp');
    await waitFor('P0', () => sent(b.sim, from).includes('P0'));
    if (sent(b.sim, from).filter((c) => c === 'P0').length !== 1) throw new Error('P0 sent without asking');
    await waitFor('shown off', async () => (await page.getAttribute('#link', 'data-link')) === 'off');
  },

  async 'the port lost shows within one polling period, and comes back with the device'(b, browser) {
    const page = await browser.newPage();
    await page.goto(b.url);
    await waitFor('the first state', async () => (await page.inputValue('#odpor')) === '100');
    b.sim.process.kill('SIGKILL');
    const killed = Date.now();
    await waitFor('lost', async () => (await page.getAttribute('#link', 'data-link')) === 'lost');
    const took = Date.now() - killed;
    if (took > (400 + 300) * SLACK) throw new Error(`the lost port took ${took} ms to show`);
    b.sim = await simulator(b.port, '--front', '4321');
    await waitFor('answering again', async () => (await page.getAttribute('#link', 'data-link')) === 'answering');
    await waitFor('its resistance', async () => (await page.inputValue('#odpor')) === '4321');
  },

  async 'with a token: the page asks for it once, then works'(b, browser) {
    const page = await browser.newPage();
    const reply = await page.goto(b.url);
    if (reply.status() !== 401) throw new Error(`the page without the token: ${reply.status()}`);
    await page.fill('input[name=token]', fs.readFileSync(b.tokenFile, 'utf8').trim());
    await page.press('input[name=token]', 'Enter');
    await waitFor('the panel', async () => (await page.$('#odpor')) && (await page.inputValue('#odpor')) === '100');
    await page.click('#remote');
    await waitFor('REM lit', async () => page.$('#LED4.on'));
  },
};

async function main() {
  const shot = process.argv.indexOf('--screenshot');
  const browser = await chromium.launch({ executablePath: browserPath, headless: true, args: ['--no-sandbox'] });
  let failed = 0;
  try {
    for (const [name, row] of Object.entries(rows)) {
      const folder = fs.mkdtempSync(path.join(os.tmpdir(), 't483-web-'));
      const tokenFile = path.join(folder, 'token');
      const b = await bench(folder, ...(name.startsWith('with a token') ? ['--token-file', tokenFile] : []));
      b.tokenFile = tokenFile;
      try {
        await Promise.race([row(b, browser), new Promise((_, fail) => setTimeout(() => fail(new Error('row took over 60 s')), 60000 * SLACK))]);
        console.log(`PASS: ${name}`);
      } catch (e) {
        failed++;
        console.log(`FAIL: ${name}: ${e.message}\n  server: ${b.server.errors.join('\n  ')}`);
      } finally {
        b.stop();
        fs.rmSync(folder, { recursive: true, force: true });
      }
    }
    if (shot > 0) await screenshot(browser, process.argv[shot + 1]);
  } finally {
    // A newer Chromium than playwright-core knows may not say it closed.
    await Promise.race([browser.close(), new Promise((r) => setTimeout(r, 5000))]);
  }
  process.exit(failed ? 1 : 0);
}

// The page beside the desktop panel's picture, in English, under remote
// control at 4072 MOhm and 2.5 kV.
async function screenshot(browser, file) {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 't483-web-'));
  const b = await bench(folder);
  try {
    b.sim.say('voltage 2500');
    const context = await browser.newContext({ locale: 'en-GB', viewport: { width: 800, height: 380 } });
    const page = await context.newPage();
    await page.goto(b.url);
    await page.fill('#odpor', '4072');
    await page.press('#odpor', 'Enter');
    await waitFor('4072 set', async () => (await text(page, '#change')).includes('R4072'));
    await waitFor('2.5 kV', async () => page.$('#LED2.on'));
    await page.screenshot({ path: file });
  } finally {
    b.stop();
    fs.rmSync(folder, { recursive: true, force: true });
  }
}

main().catch((e) => { console.error(e); process.exit(1); });
