// Opens an assocnet HTML report in headless Chromium and checks it against the
// SIF files of the same run:
//   node check-report.js REPORT SIF_PREFIX [SCREENSHOT]
// REPORT is PREFIX_report.html, SIF_PREFIX the path up to "_network_LEVEL.sif".
// For every level, shown in turn and then the first again: the drawn edges are
// the level's SIF lines (or the page's cap when there are more) and, when none
// are left out, the drawn genes are those named in its SIF file. A search for
// the gene with most partners at the first level that is drawn whole
// highlights exactly its SIF neighbours. A screenshot of the network is not
// blank; a full-page one goes to SCREENSHOT when given. Any error on the page
// fails the check. Prints how long the page took to draw. Exit status 0 when
// every check passes, 1 otherwise.
'use strict';
const fs = require('fs');
const path = require('path');
const { chromium } = require('playwright-core');

const [reportFile, sifPrefix, screenshotFile] = process.argv.slice(2);
if (!reportFile || !sifPrefix) {
  console.error('usage: node check-report.js REPORT SIF_PREFIX [SCREENSHOT]');
  process.exit(2);
}
const label = path.basename(reportFile);
const failures = [];
function check(ok, what) {
  if (!ok) failures.push(what);
}

// The edges of a SIF file as [name, name] pairs; single spaces separate the fields.
function readSif(file) {
  const text = fs.readFileSync(file, 'utf8');
  return text.split('\n').filter((line) => line !== '').map((line) => {
    const fields = line.split(' ');
    if (fields.length !== 3 || (fields[1] !== 'pos' && fields[1] !== 'neg'))
      throw new Error(file + ': not a SIF line of this program: ' + JSON.stringify(line));
    return [fields[0], fields[2]];
  });
}

// Counts of pixels that differ from the commonest colour of a PNG, decoded by the page.
async function nonBackground(page, png) {
  return page.evaluate(async (base64) => {
    const image = new Image();
    image.src = 'data:image/png;base64,' + base64;
    await image.decode();
    const canvas = document.createElement('canvas');
    canvas.width = image.width;
    canvas.height = image.height;
    const context = canvas.getContext('2d');
    context.drawImage(image, 0, 0);
    const pixels = context.getImageData(0, 0, image.width, image.height).data;
    const colours = new Map();
    for (let k = 0; k < pixels.length; k += 4) {
      const key = (pixels[k] << 16) | (pixels[k + 1] << 8) | pixels[k + 2];
      colours.set(key, (colours.get(key) || 0) + 1);
    }
    const total = pixels.length / 4;
    return { total, other: total - Math.max(...colours.values()), colours: colours.size };
  }, png.toString('base64'));
}

async function main() {
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  try {
    const page = await browser.newPage({ viewport: { width: 1400, height: 1000 } });
    page.setDefaultTimeout(300000);
    const errors = [];
    page.on('pageerror', (error) => errors.push(error.message));
    page.on('console', (message) => {
      if (message.type() === 'error' || message.type() === 'warning') errors.push(message.text());
    });
    // The report must need nothing from outside the file.
    page.on('request', (request) => {
      if (!request.url().startsWith('file:') && !request.url().startsWith('data:'))
        errors.push('the page asked for ' + request.url());
    });

    const opened = Date.now();
    await page.goto('file://' + path.resolve(reportFile), { waitUntil: 'commit' });
    await page.waitForFunction(() => window.assocnetReport !== undefined);
    await page.evaluate(() => window.assocnetReport.ready);
    const drawnAfter = Date.now() - opened;
    const firstLayout = await page.evaluate(() => window.assocnetReport.timings.firstDrawMs);

    const levels = await page.evaluate(() => window.assocnetReport.levels());
    const maxDrawn = await page.evaluate(() => JSON.parse(document.getElementById('run-data').textContent).maxDrawn);
    check(levels.length > 0, 'the report names no level');
    const sifs = new Map(levels.map((name) => [name, readSif(sifPrefix + '_network_' + name + '.sif')]));

    let whole = null;  // the first level drawn whole
    for (const name of [...levels, levels[0]]) {
      await page.evaluate((n) => window.assocnetReport.level(n), name);
      const drawn = await page.evaluate(() => window.assocnetReport.drawn());
      const sif = sifs.get(name);
      const genes = new Set(sif.flat());
      const capped = sif.length > maxDrawn;
      check(drawn.edges === Math.min(sif.length, maxDrawn),
        `level ${name}: ${drawn.edges} edges drawn, the SIF file has ${sif.length}`);
      check(capped ? drawn.nodes <= genes.size : drawn.nodes === genes.size,
        `level ${name}: ${drawn.nodes} genes drawn, the SIF file names ${genes.size}`);
      const notice = await page.evaluate(() => !document.getElementById('cap-note').hidden);
      check(notice === capped, `level ${name}: the notice of the edge cap is ${notice ? 'shown' : 'hidden'}`);
      console.log(`${label}: level ${name}: ${drawn.nodes} genes and ${drawn.edges} edges drawn of ${sif.length} edges`);
      if (!capped && whole === null && sif.length > 0) whole = name;
    }

    if (whole !== null) {
      const sif = sifs.get(whole);
      const partners = new Map();
      for (const [a, b] of sif) {
        if (!partners.has(a)) partners.set(a, new Set());
        if (!partners.has(b)) partners.set(b, new Set());
        partners.get(a).add(b);
        partners.get(b).add(a);
      }
      let gene = null;
      for (const [name, set] of partners)
        if (gene === null || set.size > partners.get(gene).size) gene = name;
      await page.evaluate((n) => window.assocnetReport.level(n), whole);
      const highlighted = await page.evaluate((n) => window.assocnetReport.search(n), gene);
      const expected = [...partners.get(gene)].sort();
      check(JSON.stringify(highlighted) === JSON.stringify(expected),
        `level ${whole}: a search for ${gene} highlights ${highlighted.length} genes, its SIF neighbours are ${expected.length}`);
      console.log(`${label}: a search for ${gene} at level ${whole} highlights its ${highlighted.length} neighbours`);
      await page.click('#clear');
    }

    const view = await page.locator('#cy').screenshot();
    const pixels = await nonBackground(page, view);
    check(pixels.other > pixels.total / 200 && pixels.colours > 8,
      `the network's screenshot looks blank: ${pixels.other} of ${pixels.total} pixels drawn, ${pixels.colours} colours`);
    if (screenshotFile) {
      await page.evaluate(() => window.assocnetReport.level(window.assocnetReport.levels()[0]));
      await page.screenshot({ path: screenshotFile, fullPage: true });
    }

    check(errors.length === 0, 'the page reported: ' + errors.join('; '));
    console.log(`${label}: drawn ${drawnAfter} ms after opening (first layout done ${Math.round(firstLayout)} ms after the script started)`);
  } finally {
    await browser.close();
  }
}

main().then(() => {
  for (const failure of failures) console.error(`${label}: ${failure}`);
  process.exit(failures.length === 0 ? 0 : 1);
}, (error) => {
  console.error(`${label}: ${error.stack || error}`);
  process.exit(1);
});
