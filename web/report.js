// The page of one assocnet run. Reads the run from the JSON block "run-data":
//   table, version, method, order, pruneAlpha, genes, samples, dropped[], seconds,
//   levels[{name, rule, edges, threshold (null for q levels)}] loosest first,
//   maxDrawn, names[], edges[[i, j, r, p, q, strictest level passed]] (every edge
//   of the loosest level), histogram{from, width, counts[]}.
// Draws one level at a time with cytoscape.js and the fCoSE layout: the genes
// with a drawn edge, at most maxDrawn edges (the strongest by |r|, ties by gene
// numbers). Counts, charts and tables always cover every edge of the level.
//
// window.assocnetReport, for scripts and tests:
//   ready            promise, settled once the first level is laid out
//   levels()         the level names, loosest first
//   level(name)      shows that level; promise settled once it is laid out
//   drawn()          {nodes, edges} drawn now
//   search(name)     finds a gene as the search box does; returns the names of
//                    the drawn neighbours it highlights, sorted
//   timings          {firstDrawMs}: from the start of this script to the first layout's end
(function () {
  'use strict';
  const started = performance.now();
  const data = JSON.parse(document.getElementById('run-data').textContent);
  const names = data.names;
  const levels = data.levels;
  const edges = data.edges;
  const maxDrawn = data.maxDrawn;
  const V = names.length;

  // --- small helpers ----------------------------------------------------------

  const $ = (id) => document.getElementById(id);
  function el(tag, props, children) {
    const node = document.createElement(tag);
    if (props) Object.assign(node, props);
    for (const child of children || [])
      node.append(child instanceof Node ? child : String(child));
    return node;
  }
  const SVG = 'http://www.w3.org/2000/svg';
  function svgEl(tag, attrs, text) {
    const node = document.createElementNS(SVG, tag);
    for (const [k, v] of Object.entries(attrs || {})) node.setAttribute(k, v);
    if (text !== undefined) node.textContent = text;
    return node;
  }
  const count = (n) => n.toLocaleString('en-US');
  const fixed = (x, digits) => (Object.is(x, -0) ? 0 : x).toFixed(digits);
  function prob(x) {
    if (x === null) return '';
    if (x === 0) return '0';
    return x < 1e-3 ? x.toExponential(2) : x.toPrecision(3);
  }
  function duration(seconds) {
    if (seconds < 1) return Math.round(seconds * 1000) + ' ms';
    if (seconds < 60) return seconds.toFixed(seconds < 10 ? 2 : 1) + ' s';
    const m = Math.floor(seconds / 60);
    return m + ' min ' + Math.round(seconds - 60 * m) + ' s';
  }
  // Settles once the browser has painted what is on the page now.
  const painted = () => new Promise((resolve) => requestAnimationFrame(() => setTimeout(resolve, 0)));
  const strength = (a, b) => Math.abs(b[2]) - Math.abs(a[2]) || a[0] - b[0] || a[1] - b[1];

  // --- one level: its edges, degrees and partners (made once, when first shown) -

  const levelCache = [];
  function levelInfo(L) {
    if (levelCache[L]) return levelCache[L];
    const all = edges.filter((e) => e[5] >= L);
    const degree = new Int32Array(V);
    const partners = Array.from({ length: V }, () => []);
    for (const e of all) {
      degree[e[0]]++;
      degree[e[1]]++;
      partners[e[0]].push(e);
      partners[e[1]].push(e);
    }
    for (const list of partners) list.sort(strength);
    const sorted = all.slice().sort(strength);
    const drawn = sorted.length > maxDrawn ? sorted.slice(0, maxDrawn) : sorted;
    let withEdge = 0;
    let maxDegree = 0;
    for (let v = 0; v < V; ++v) {
      if (degree[v] > 0) ++withEdge;
      if (degree[v] > maxDegree) maxDegree = degree[v];
    }
    let weakestAll = Infinity;
    for (const e of all) weakestAll = Math.min(weakestAll, Math.abs(e[2]));
    return (levelCache[L] = { all, degree, partners, drawn, withEdge, maxDegree, weakestAll });
  }
  // The |r| a level needs: its threshold, or for a q level the weakest edge it selects.
  function levelMark(L) {
    if (levels[L].threshold !== null) return { at: levels[L].threshold, exact: true };
    const w = levelInfo(L).weakestAll;
    return Number.isFinite(w) ? { at: w, exact: false } : null;
  }

  // --- the run ------------------------------------------------------------------

  function fillFacts() {
    document.title = data.table + ' \u2013 assocnet report';
    $('title-table').textContent = data.table === '-' ? '(standard input)' : data.table;
    const facts = $('facts');
    const add = (term, detail) => facts.append(el('dt', { textContent: term }), el('dd', null, [detail]));
    add('table', data.table === '-' ? 'standard input' : data.table);
    add('genes used', count(data.genes));
    add('samples used', count(data.samples));
    if (data.dropped.length === 0) add('dropped', 'none');
    else add('dropped', el('ul', null, data.dropped.map((d) => el('li', { textContent: d }))));
    add('method', data.method);
    add('order', data.order === 0 ? '0 (correlation)'
      : data.order + ' (smallest of the correlation and the partial correlations up to order ' + data.order + ')');
    if (data.order > 0) add('pruning level', '\u03b1 = ' + data.pruneAlpha);
    add('run time', duration(data.seconds));
    add('program', 'assocnet ' + data.version);

    const body = $('levels').tBodies[0];
    levels.forEach((level, L) => {
      body.append(el('tr', null, [
        el('td', { textContent: level.name }),
        el('td', { textContent: level.rule }),
        el('td', { className: 'num', textContent: count(level.edges) }),
        el('td', { className: 'num', textContent: count(levelInfo(L).withEdge) }),
      ]));
    });
  }

  // --- the network view ---------------------------------------------------------

  const select = $('level-select');
  let current = -1;
  let focus = -1;  // the gene found or clicked, or -1

  const cy = cytoscape({
    container: $('cy'),
    minZoom: 0.05,
    maxZoom: 6,
    boxSelectionEnabled: false,
    style: [
      { selector: 'node', style: {
        'width': 'data(size)', 'height': 'data(size)', 'background-color': '#52606d',
        'label': 'data(label)', 'font-size': 9, 'color': '#1d1d1f', 'text-valign': 'top',
        'text-margin-y': -2, 'min-zoomed-font-size': 7,
        'text-outline-color': '#ffffff', 'text-outline-width': 1.5 } },
      { selector: 'node.many', style: { 'font-size': 5, 'text-outline-width': 0.8 } },
      { selector: 'edge', style: {
        'width': 'data(w)', 'line-color': '#c62828', 'opacity': 0.7, 'curve-style': 'haystack' } },
      { selector: 'edge.neg', style: { 'line-color': '#1565c0' } },
      { selector: '.faded', style: { 'opacity': 0.12, 'text-opacity': 0 } },
      { selector: 'node.near', style: {
        'background-color': '#ffa726', 'min-zoomed-font-size': 0, 'z-index-compare': 'manual', 'z-index': 9 } },
      { selector: 'edge.near', style: { 'opacity': 1, 'z-index-compare': 'manual', 'z-index': 8 } },
      { selector: 'node.hit', style: {
        'background-color': '#ef6c00', 'border-width': 3, 'border-color': '#ffe0b2',
        'min-zoomed-font-size': 0, 'text-background-color': '#ffffff',
        'text-background-opacity': 0.85, 'text-background-padding': 2, 'z-index-compare': 'manual', 'z-index': 10 } },
    ],
  });

  // Math.random replaced by a seeded generator while fn runs, so one report
  // is always laid out the same way.
  function seeded(seed, fn) {
    const saved = Math.random;
    let s = seed >>> 0;
    Math.random = function () {
      s = (s + 0x6d2b79f5) >>> 0;
      let t = s;
      t = Math.imul(t ^ (t >>> 15), t | 1);
      t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
      return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
    };
    try {
      return fn();
    } finally {
      Math.random = saved;
    }
  }

  // Up to this many drawn edges fCoSE runs whole; above, its force-directed
  // phase takes from several seconds to minutes in a browser, so the view gets
  // the quick spectral placement first and the full layout on request.
  const kForceEdges = 1500;
  // Lays out the drawn network from random places, or from where the nodes are.
  function layOut(L, quality, randomize) {
    return new Promise((resolve) => {
      if (cy.edges().length === 0) return resolve();
      const layout = cy.layout({
        name: 'fcose', quality, randomize,
        animate: false, fit: true, padding: 24, nodeDimensionsIncludeLabels: false,
        nodeRepulsion: () => 4500, idealEdgeLength: () => 50, edgeElasticity: () => 0.45,
      });
      layout.one('layoutstop', () => resolve());
      seeded(20240601 + L, () => layout.run());
    });
  }

  let showing = Promise.resolve();
  // Shows level L; settles once it is laid out. Calls wait for the one before.
  function show(L) {
    showing = showing.then(() => draw(L));
    return showing;
  }

  async function draw(L) {
    current = L;
    select.value = String(L);
    const info = levelInfo(L);
    const drawn = info.drawn;
    const onView = new Uint8Array(V);
    for (const e of drawn) onView[e[0]] = onView[e[1]] = 1;
    let weakest = 1;
    for (const e of drawn) weakest = Math.min(weakest, Math.abs(e[2]));
    const span = Math.max(1 - weakest, 1e-9);

    // Smaller genes and labels (shown once zoomed in) when there are many.
    let genes = 0;
    for (let v = 0; v < V; ++v) genes += onView[v];
    const largest = genes > 300 ? 14 : genes > 100 ? 22 : 32;
    const elements = [];
    for (let v = 0; v < V; ++v)
      if (onView[v])
        elements.push({ group: 'nodes', classes: genes > 300 ? 'many' : '', data: {
          id: 'n' + v, label: names[v],
          size: 5 + (largest - 5) * Math.sqrt(info.degree[v] / info.maxDegree) } });
    drawn.forEach((e, k) => {
      const w = 0.6 + 4.4 * Math.min(1, Math.max(0, (Math.abs(e[2]) - weakest) / span));
      elements.push({ group: 'edges', classes: e[2] > 0 ? 'pos' : 'neg',
        data: { id: 'e' + k, source: 'n' + e[0], target: 'n' + e[1], w } });
    });
    cy.startBatch();
    cy.elements().remove();
    cy.add(elements);
    cy.endBatch();
    // Moving the view of a large network drops the edges until it stops.
    cy.renderer().hideEdgesOnViewport = drawn.length > 2000;

    const level = levels[L];
    document.querySelectorAll('.level-name').forEach((n) => { n.textContent = 'at ' + level.name; });
    [...$('levels').tBodies[0].rows].forEach((row, k) => row.classList.toggle('current', k === L));
    $('view-note').textContent = drawn.length === 0
      ? 'No edge at this level.'
      : count(cy.nodes().length) + ' genes and ' + count(drawn.length) + ' edges drawn (' + level.rule
        + '); genes without a drawn edge are left out. Drag to pan, scroll to zoom, click a gene for its partners.';
    const quick = drawn.length > kForceEdges;
    $('refine').hidden = !quick;
    $('layout-note').textContent = quick ? 'Laying out the network (quick spectral placement)\u2026' : 'Laying out the network\u2026';
    const cap = $('cap-note');
    cap.hidden = info.all.length <= maxDrawn;
    cap.textContent = cap.hidden ? '' : 'This level has ' + count(info.all.length) + ' edges, more than a browser draws smoothly: the view shows the '
      + count(maxDrawn) + ' strongest (|r| \u2265 ' + fixed(weakest, 4) + '). The tables and charts count every edge.';
    drawDegrees(L);
    fillHubs(L);
    drawHistogram();
    if (focus >= 0) highlight(focus, false);
    await painted();
    await layOut(L, quick ? 'draft' : 'default', true);
    $('layout-note').textContent = quick
      ? 'Quick spectral placement of ' + count(drawn.length) + ' edges; the full force-directed layout may take a minute.'
      : '';
    if (focus >= 0) highlight(focus, true);
  }

  async function refine() {
    await showing;
    $('refine').disabled = true;
    $('layout-note').textContent = 'Running the force-directed layout\u2026';
    await painted();
    await layOut(current, 'default', false);
    $('refine').disabled = false;
    $('refine').hidden = true;
    $('layout-note').textContent = '';
    if (focus >= 0) highlight(focus, true);
  }

  function clearHighlight() {
    cy.elements().removeClass('faded near hit');
  }

  // Highlights gene v and its drawn neighbours, lists its partners at this
  // level and, when asked, centres the view on it. Returns the neighbours' names.
  function highlight(v, centre) {
    focus = v;
    clearHighlight();
    const node = cy.getElementById('n' + v);
    let near = [];
    if (node.nonempty()) {
      const hood = node.closedNeighborhood();
      cy.elements().not(hood).addClass('faded');
      hood.addClass('near');
      node.removeClass('near').addClass('hit');
      near = node.neighborhood('node').map((n) => n.data('label')).sort();
      if (centre) {
        cy.fit(hood, 80);
        if (cy.zoom() > 2.5) cy.zoom(2.5);
        cy.center(node);
      }
    }
    listPartners(v, node.nonempty());
    return near;
  }

  function listPartners(v, drawn) {
    const list = levelInfo(current).partners[v];
    $('panel-hint').hidden = true;
    $('partners').hidden = false;
    let title = names[v] + ': ' + count(list.length) + (list.length === 1 ? ' partner' : ' partners')
      + ' at ' + levels[current].name;
    if (!drawn) title += list.length === 0 ? '' : ' (not drawn: its edges are weaker than the drawn ones)';
    $('partners-title').textContent = title;
    const body = $('partners').querySelector('tbody');
    body.replaceChildren(...list.map((e) => {
      const other = e[0] === v ? e[1] : e[0];
      const button = el('button', { type: 'button', textContent: names[other] });
      button.addEventListener('click', () => find(other));
      return el('tr', null, [
        el('td', { className: 'name' }, [button]),
        el('td', { className: 'num', textContent: fixed(e[2], 4) }),
        el('td', { className: 'num', textContent: prob(e[3]) }),
        el('td', { className: 'num', textContent: prob(e[4]) }),
      ]);
    }));
  }

  function find(v) {
    $('search').value = names[v];
    return highlight(v, true);
  }

  // A gene by exact name, else by name ignoring case, else by the only name
  // that starts with the text (ignoring case); -1 when none or several.
  function geneNumber(text) {
    const exact = names.indexOf(text);
    if (exact >= 0) return exact;
    const lower = text.toLowerCase();
    const same = [];
    const starts = [];
    names.forEach((n, v) => {
      const l = n.toLowerCase();
      if (l === lower) same.push(v);
      else if (l.startsWith(lower)) starts.push(v);
    });
    if (same.length === 1) return same[0];
    if (same.length === 0 && starts.length === 1) return starts[0];
    return -1;
  }

  function search(text) {
    text = text.trim();
    if (text === '') return [];
    const v = geneNumber(text);
    if (v < 0) {
      focus = -1;
      clearHighlight();
      $('panel-hint').hidden = false;
      $('partners').hidden = true;
      $('panel-hint').textContent = 'No single gene matches \u201c' + text + '\u201d.';
      return [];
    }
    return find(v);
  }

  // --- charts ---------------------------------------------------------------------

  const W = 560, H = 250, M = { left: 52, right: 12, top: 22, bottom: 34 };
  const plotW = W - M.left - M.right, plotH = H - M.top - M.bottom;
  const markColours = ['#8e24aa', '#2e7d32', '#ef6c00', '#c62828', '#1565c0', '#5d4037'];

  function axes(svg, xTicks, yMax, yLabel) {
    svg.append(svgEl('line', { class: 'axis', x1: M.left, y1: M.top + plotH, x2: M.left + plotW, y2: M.top + plotH }));
    svg.append(svgEl('line', { class: 'axis', x1: M.left, y1: M.top, x2: M.left, y2: M.top + plotH }));
    for (const [x, text] of xTicks) {
      svg.append(svgEl('line', { class: 'axis', x1: x, y1: M.top + plotH, x2: x, y2: M.top + plotH + 4 }));
      svg.append(svgEl('text', { x, y: M.top + plotH + 16, 'text-anchor': 'middle' }, text));
    }
    svg.append(svgEl('text', { x: M.left - 6, y: M.top + 4, 'text-anchor': 'end' }, yMax));
    svg.append(svgEl('text', { x: M.left - 6, y: M.top + plotH, 'text-anchor': 'end' }, '0'));
    svg.append(svgEl('text', { x: M.left + plotW, y: H - 2, 'text-anchor': 'end' }, yLabel));
  }

  function drawHistogram() {
    const box = $('histogram');
    const h = data.histogram;
    const n = h.counts.length;
    const svg = svgEl('svg', { viewBox: `0 0 ${W} ${H}`, role: 'img', 'aria-label': 'histogram of the kept coefficients' });
    box.replaceChildren(svg);
    if (n === 0) return;
    const log = $('hist-log').checked;
    const height = (c) => (log ? Math.log10(1 + c) : c);
    const top = Math.max(1e-9, ...h.counts.map(height));
    const from = h.from, to = h.from + h.width * n;
    const xOf = (x) => M.left + ((x - from) / (to - from)) * plotW;
    h.counts.forEach((c, k) => {
      if (c === 0) return;
      const bh = (height(c) / top) * plotH;
      svg.append(svgEl('rect', { class: 'bar', x: xOf(from + k * h.width), y: M.top + plotH - bh,
        width: Math.max(0.5, plotW / n - 0.4), height: bh }));
    });
    const ticks = [];
    for (let t = Math.ceil(from / 0.5) * 0.5; t <= to + 1e-12; t += 0.5) ticks.push([xOf(t), fixed(t, 1)]);
    axes(svg, ticks, log ? count(Math.max(...h.counts)) + ' (log)' : count(Math.max(...h.counts)), 'kept coefficient');
    const legend = el('p', { className: 'legend' });
    levels.forEach((level, L) => {
      const mark = levelMark(L);
      if (!mark) return;
      const colour = markColours[L % markColours.length];
      for (const x of [-mark.at, mark.at]) {
        if (x < from || x > to) continue;
        svg.append(svgEl('line', { class: 'mark', stroke: colour, x1: xOf(x), x2: xOf(x), y1: M.top, y2: M.top + plotH,
          'stroke-width': L === current ? 2.4 : 1.2 }));
      }
      const swatch = el('span', { className: 'swatch' });
      swatch.style.background = colour;
      legend.append(swatch, level.name + (mark.exact ? ': |r| > ' : ': weakest edge |r| = ') + fixed(mark.at, 4) + ' ');
    });
    box.append(legend);
  }

  function drawDegrees(L) {
    const info = levelInfo(L);
    const svg = svgEl('svg', { viewBox: `0 0 ${W} ${H}`, role: 'img', 'aria-label': 'degree distribution' });
    $('degrees').replaceChildren(svg);
    if (V === 0) return;
    const bins = Math.min(80, info.maxDegree + 1);
    const binWidth = Math.ceil((info.maxDegree + 1) / bins);
    const used = Math.ceil((info.maxDegree + 1) / binWidth);
    const genes = new Array(used).fill(0);
    for (let v = 0; v < V; ++v) genes[Math.floor(info.degree[v] / binWidth)]++;
    const top = Math.max(...genes);
    const bw = plotW / used;
    genes.forEach((c, k) => {
      if (c === 0) return;
      const bh = (c / top) * plotH;
      const bar = svgEl('rect', { class: 'bar', x: M.left + k * bw, y: M.top + plotH - bh, width: Math.max(0.5, bw - 1), height: bh });
      const range = binWidth === 1 ? 'degree ' + k * binWidth : 'degree ' + k * binWidth + '\u2013' + ((k + 1) * binWidth - 1);
      bar.append(svgEl('title', {}, range + ': ' + count(c) + ' genes'));
      svg.append(bar);
    });
    const label = (k) => (binWidth === 1 ? String(k) : k * binWidth + '\u2013' + ((k + 1) * binWidth - 1));
    const ticks = [];
    const step = Math.ceil(used / 10);
    for (let k = 0; k < used; k += step) ticks.push([M.left + (k + 0.5) * bw, label(k)]);
    axes(svg, ticks, count(top), 'degree (genes per ' + (binWidth === 1 ? 'degree' : binWidth + ' degrees') + ')');
  }

  function fillHubs(L) {
    const info = levelInfo(L);
    const order = [];
    for (let v = 0; v < V; ++v) if (info.degree[v] > 0) order.push(v);
    order.sort((a, b) => info.degree[b] - info.degree[a] || a - b);
    const body = document.querySelector('#hubs tbody');
    body.replaceChildren(...order.slice(0, 15).map((v, k) => {
      const button = el('button', { type: 'button', textContent: names[v] });
      button.addEventListener('click', () => {
        find(v);
        $('network').scrollIntoView();
      });
      const strongest = info.partners[v].slice(0, 3)
        .map((e) => names[e[0] === v ? e[1] : e[0]] + ' (' + fixed(e[2], 3) + ')').join(', ');
      return el('tr', null, [
        el('td', { className: 'num', textContent: k + 1 }),
        el('td', { className: 'name' }, [button]),
        el('td', { className: 'num', textContent: count(info.degree[v]) }),
        el('td', { className: 'partners', textContent: strongest }),
      ]);
    }));
    if (order.length === 0) body.append(el('tr', null, [el('td', { colSpan: 4, textContent: 'No edge at this level.' })]));
  }

  // --- wiring ---------------------------------------------------------------------

  fillFacts();
  const options = $('gene-names');
  options.append(...names.map((n) => el('option', { value: n })));
  levels.forEach((level, L) => {
    select.append(el('option', { value: String(L), textContent: level.name + ' \u2013 ' + count(level.edges) + ' edges' }));
  });
  select.addEventListener('change', () => show(Number(select.value)));
  $('search-form').addEventListener('submit', (event) => {
    event.preventDefault();
    search($('search').value);
  });
  $('clear').addEventListener('click', () => {
    focus = -1;
    $('search').value = '';
    clearHighlight();
    $('panel-hint').hidden = false;
    $('panel-hint').textContent = 'Click a gene, or find one by name, to list its partners at this level.';
    $('partners').hidden = true;
    cy.fit(undefined, 24);
  });
  $('hist-log').addEventListener('change', drawHistogram);
  $('refine').addEventListener('click', () => { showing = refine(); });
  cy.on('tap', 'node', (event) => {
    const v = Number(event.target.id().slice(1));
    $('search').value = names[v];
    highlight(v, false);
  });

  const timings = {};
  const ready = levels.length === 0
    ? Promise.resolve(drawHistogram())
    : show(0).then(() => { timings.firstDrawMs = performance.now() - started; });

  window.assocnetReport = {
    ready,
    timings,
    levels: () => levels.map((l) => l.name),
    level(name) {
      const L = levels.findIndex((l) => l.name === name);
      if (L < 0) return Promise.reject(new Error('no level ' + name));
      return show(L);
    },
    drawn: () => ({ nodes: cy.nodes().length, edges: cy.edges().length }),
    search,
  };
})();
