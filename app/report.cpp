#include "report.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>

#include "CiTunesBackup.h"
#include "export.h"
#include "kddata/KdBackup.h"
#include "kddata/KdData.h"
#include "kddata/KdItems.h"
#include "utility/SafeIo.h"

namespace {

// Every page is one file with its style, script and data inside: it opens from a file manager,
// with no server and no network (the policy below forbids any).
const char kHead[] = R"(<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; img-src file: data:; media-src file:; style-src 'unsafe-inline'; script-src 'unsafe-inline'">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>)";

const char kStyle[] = R"(<style>
:root { --fg:#1d1d1f; --muted:#6e6e73; --line:#d2d2d7; --me:#0a7cff; --them:#e9e9eb; --del:#c62828; }
* { box-sizing:border-box; }
body { font:14px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif; color:var(--fg); margin:0; background:#fafafa; }
header { background:#fff; border-bottom:1px solid var(--line); padding:12px 24px; }
header h1 { margin:4px 0; font-size:20px; }
header a { color:#0060c0; text-decoration:none; }
main { padding:16px 24px; }
.meta { color:var(--muted); margin:0; }
table { border-collapse:collapse; width:100%; background:#fff; }
th, td { text-align:start; padding:6px 8px; border-bottom:1px solid var(--line); vertical-align:top; }
td.long { overflow-wrap:anywhere; min-width:16em; }
th { cursor:pointer; user-select:none; background:#f2f2f4; position:sticky; top:0; }
th.sorted-asc::after { content:" \25B2"; } th.sorted-desc::after { content:" \25BC"; }
tr.row:hover { background:#f5f9ff; cursor:pointer; } tr.selected { background:#e8f1ff; }
tr.deleted td { color:var(--del); }
.badge { display:inline-block; font-size:11px; padding:1px 6px; border-radius:8px; background:var(--del); color:#fff; margin-left:4px; }
.badge.partial { background:#fff; color:var(--del); border:1px solid var(--del); }
.controls { display:flex; gap:12px; align-items:center; margin:0 0 12px; flex-wrap:wrap; }
.controls input { padding:6px 8px; border:1px solid var(--line); border-radius:6px; min-width:260px; }
button { padding:5px 10px; border:1px solid var(--line); border-radius:6px; background:#fff; cursor:pointer; }
button:disabled { opacity:.4; cursor:default; }
img.thumb { max-width:96px; max-height:72px; border-radius:4px; display:block; }
.detail { margin-top:16px; background:#fff; border:1px solid var(--line); border-radius:8px; padding:12px 16px; }
.thread { display:flex; flex-direction:column; gap:4px; max-width:760px; }
.day { align-self:center; color:var(--muted); font-size:12px; margin:10px 0 4px; }
.msg { max-width:70%; padding:7px 11px; border-radius:16px; white-space:pre-wrap; overflow-wrap:anywhere; }
.msg.me { align-self:flex-end; background:var(--me); color:#fff; }
.msg.them { align-self:flex-start; background:var(--them); }
.msg.deleted { outline:2px dashed var(--del); outline-offset:1px; }
.msg .who { font-size:11px; color:var(--muted); display:block; }
.msg .when { font-size:11px; opacity:.75; display:block; margin-top:2px; }
.msg .att img { max-width:220px; max-height:220px; border-radius:8px; display:block; margin-top:4px; }
.msg.me a { color:#fff; }
.props td:first-child { color:var(--muted); width:160px; }
</style>)";

// Builds every element from text, never from markup: the evidence's texts cannot become page code.
const char kScript[] = R"JS(<script>
(function () {
'use strict';
var data = JSON.parse(document.getElementById('data').textContent);
var app = document.getElementById('app');
var PAGE = 100, THREAD_PAGE = 300;
var IMAGE = /\.(jpe?g|png|gif|bmp|heic|webp|tiff?)$/i;
function el(tag, cls, text) {
  var e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined && text !== null) e.textContent = String(text);
  return e;
}
function url(path) {
  if (!path) return null;
  var encoded = encodeURI(path).replace(/#/g, '%23').replace(/\?/g, '%3F');
  return path.charAt(0) === '/' ? 'file://' + encoded : encoded;
}
function badge(parent, partial, uncertain, guessed) {
  parent.appendChild(el('span', 'badge', uncertain ? 'live or deleted' : 'deleted'));
  if (partial) parent.appendChild(el('span', 'badge partial', 'partial'));
  if (guessed) parent.appendChild(el('span', 'badge partial', 'conversation guessed'));
}
function media(href, name, cls) {
  if (href && IMAGE.test(name || href)) {
    var img = el('img', cls); img.loading = 'lazy'; img.src = url(href); img.alt = name || '';
    return img;
  }
  var a = el('a', null, name || href); if (href) a.href = url(href);
  return a;
}

function renderIndex() {
  var d = data.device || {};
  var t = el('table', 'props');
  [['Device', d.deviceName], ['Model', d.deviceType], ['iOS', d.productVersion], ['Serial number', d.serialNumber],
   ['Backup date', d.backupDate]].forEach(function (r) {
    if (!r[1]) return;
    var tr = el('tr'); tr.appendChild(el('td', null, r[0])); tr.appendChild(el('td', null, r[1])); t.appendChild(tr);
  });
  app.appendChild(t);
  var c = el('table'); var head = el('tr');
  ['Category', 'Items', 'Deleted'].forEach(function (h) { head.appendChild(el('th', null, h)); });
  c.appendChild(head);
  (data.order || []).forEach(function (name) {
    var cat = data.categories[name]; if (!cat) return;
    var tr = el('tr'); var td = el('td'); var a = el('a', null, cat.title); a.href = name + '.html'; td.appendChild(a);
    tr.appendChild(td); tr.appendChild(el('td', null, cat.items)); tr.appendChild(el('td', null, cat.deleted));
    c.appendChild(tr);
  });
  app.appendChild(el('h2', null, 'Categories'));
  app.appendChild(c);
}

function sortKey(item, column) {
  var s = item.sort && item.sort[column];
  if (s !== undefined && s !== null) return s;
  return item.values[column] || '';
}

function renderCategory() {
  var columns = data.columns || [];
  var items = (data.items || []).map(function (item, index) {
    var text = columns.map(function (c) { return item.values[c] || ''; }).join(' ').toLowerCase();
    return { item: item, index: index, text: text };
  });
  var state = { filter: '', column: null, dir: 1, page: 0, selected: -1 };
  var controls = el('div', 'controls');
  var search = el('input'); search.type = 'search'; search.placeholder = 'Filter'; search.setAttribute('aria-label', 'Filter');
  var prev = el('button', null, 'Previous'), next = el('button', null, 'Next'), info = el('span', 'meta');
  controls.appendChild(search); controls.appendChild(prev); controls.appendChild(info); controls.appendChild(next);
  app.appendChild(controls);
  var table = el('table'); app.appendChild(table);
  var detail = el('div', 'detail'); detail.hidden = true; app.appendChild(detail);
  var hasFiles = items.some(function (r) { return r.item.href; });

  function visible() {
    var rows = items.filter(function (r) { return !state.filter || r.text.indexOf(state.filter) >= 0; });
    if (state.column !== null) {
      var c = state.column;
      rows.sort(function (a, b) {
        var x = sortKey(a.item, c), y = sortKey(b.item, c);
        var r = (typeof x === 'number' && typeof y === 'number') ? x - y
              : String(x).localeCompare(String(y), undefined, { numeric: true, sensitivity: 'base' });
        return r * state.dir || a.index - b.index;
      });
    }
    return rows;
  }
  function draw() {
    var rows = visible();
    var pages = Math.max(1, Math.ceil(rows.length / PAGE));
    state.page = Math.min(state.page, pages - 1);
    table.textContent = '';
    var head = el('tr');
    columns.forEach(function (c) {
      var th = el('th', state.column === c ? (state.dir > 0 ? 'sorted-asc' : 'sorted-desc') : null, c);
      th.addEventListener('click', function () {
        state.dir = state.column === c ? -state.dir : 1; state.column = c; draw();
      });
      head.appendChild(th);
    });
    if (hasFiles) head.appendChild(el('th', null, 'File'));
    table.appendChild(head);
    rows.slice(state.page * PAGE, (state.page + 1) * PAGE).forEach(function (r) {
      var tr = el('tr', 'row' + (r.item.deleted ? ' deleted' : '') + (r.index === state.selected ? ' selected' : ''));
      columns.forEach(function (c, i) {
        var td = el('td', null, r.item.values[c] || ''); td.dir = 'auto';
        // A long text breaks anywhere rather than push the other columns off the page.
        if (td.textContent.length > 40) td.className = 'long';
        if (i === 0 && r.item.deleted) badge(td, r.item.partial, r.item.uncertain);
        tr.appendChild(td);
      });
      if (hasFiles) {
        var td = el('td'); if (r.item.href) td.appendChild(media(r.item.href, r.item.values[columns[0]], 'thumb'));
        tr.appendChild(td);
      }
      tr.addEventListener('click', function () { select(r.index); });
      table.appendChild(tr);
    });
    info.textContent = rows.length + ' of ' + items.length + ' items, page ' + (state.page + 1) + ' of ' + pages;
    prev.disabled = state.page === 0; next.disabled = state.page >= pages - 1;
  }
  function select(index) {
    state.selected = index; draw();
    var item = items[index] && items[index].item;
    detail.textContent = '';
    detail.hidden = !(item && item.detail);
    if (!item || !item.detail) return;
    if (item.detail.messages) thread(detail, item.detail);
    else properties(detail, item.detail);
    if (location.hash !== '#' + index) history.replaceState(null, '', '#' + index);
  }
  search.addEventListener('input', function () { state.filter = search.value.toLowerCase(); state.page = 0; draw(); });
  prev.addEventListener('click', function () { state.page--; draw(); });
  next.addEventListener('click', function () { state.page++; draw(); });
  draw();
  var start = parseInt(location.hash.slice(1), 10);
  if (!isNaN(start) && items[start]) select(start);
  else if (data.openFirst && items.length) select(0);
}

function properties(parent, d) {
  var t = el('table', 'props');
  function row(k, v) { if (!v) return; var tr = el('tr'); tr.appendChild(el('td', null, k)); var td = el('td', String(v).length > 40 ? 'long' : null, v); td.dir = 'auto'; tr.appendChild(td); t.appendChild(tr); }
  row('Name', d.name); row('Organization', d.organization); row('Birthday', d.birthday);
  (d.properties || []).forEach(function (p) { row((p.label || p.type) + '', p.value); });
  row('Created', d.created); row('Modified', d.modified);
  if (d.image) { var img = el('img', 'thumb'); img.src = 'data:image/png;base64,' + d.image; img.alt = 'photo'; parent.appendChild(img); }
  parent.appendChild(t);
}

// A conversation of any length: one page of messages at a time, the newest first shown.
function thread(parent, g) {
  var messages = g.messages || [];
  var pages = Math.max(1, Math.ceil(messages.length / THREAD_PAGE));
  var page = pages - 1;
  var nav = el('div', 'controls');
  var older = el('button', null, 'Earlier messages'), newer = el('button', null, 'Later messages'), info = el('span', 'meta');
  nav.appendChild(older); nav.appendChild(info); nav.appendChild(newer);
  parent.appendChild(nav);
  var box = el('div', 'thread'); parent.appendChild(box);
  function draw() {
    box.textContent = '';
    var lastDay = '';
    messages.slice(page * THREAD_PAGE, (page + 1) * THREAD_PAGE).forEach(function (m) {
      var day = (m.date || '').slice(0, 10);
      if (day && day !== lastDay) { box.appendChild(el('div', 'day', day)); lastDay = day; }
      var b = el('div', 'msg ' + (m.fromMe ? 'me' : 'them') + (m.deleted ? ' deleted' : '')); b.dir = 'auto';
      if (!m.fromMe && (m.name || m.address)) b.appendChild(el('span', 'who', m.name || m.address));
      if (m.subject) b.appendChild(el('strong', null, m.subject + '\n'));
      var text = m.text || '';
      (m.pieces || []).forEach(function (p) {
        if (p.text !== undefined) { if (!text) text = p.text; return; }
        var a = el('div', 'att'); a.appendChild(media(p.href, p.name || p.location)); b.appendChild(a);
      });
      if (text) b.insertBefore(document.createTextNode(text), b.querySelector('.att'));
      if (m.reactions && m.reactions.length)
        b.appendChild(el('span', 'when', m.reactions.map(function (r) { return r.reaction + (r.name ? ' (' + r.name + ')' : ''); }).join(', ')));
      var when = (m.date || '').replace('T', ' ').replace('Z', ' UTC');
      if (m.edited) when += ' \u00b7 edited'; if (m.unsent) when += ' \u00b7 unsent';
      b.appendChild(el('span', 'when', when));
      if (m.deleted) badge(b, m.partial, m.uncertain, m.conversationGuessed);
      box.appendChild(b);
    });
    info.textContent = messages.length + ' messages, page ' + (page + 1) + ' of ' + pages;
    older.disabled = page === 0; newer.disabled = page >= pages - 1;
  }
  older.addEventListener('click', function () { page--; draw(); });
  newer.addEventListener('click', function () { page++; draw(); });
  draw();
}

try {
  if (data.kind === 'index') renderIndex(); else renderCategory();
} catch (e) {
  var err = el('p', 'badge', 'This page could not be shown: ' + e.message); err.id = 'report-error'; app.appendChild(err);
  throw e;
}
})();
</script>)JS";

QString escapeHtml(const QString& text)
{
    return text.toHtmlEscaped();
}

// JSON inside a script element: "</" would end the element early.
QByteArray embeddedJson(const QJsonObject& o)
{
    // No "<" at all: "</script" would end the block, and "<!--" with "<script" after it would
    // make the parser skip the block's own end, leaving a blank page. Only strings hold "<".
    return QJsonDocument(o).toJson(QJsonDocument::Compact).replace("<", "\\u003c");
}

QByteArray page(const QString& title, const QString& heading, const QString& meta, bool back, const QJsonObject& data)
{
    QByteArray html = kHead;
    html += escapeHtml(title).toUtf8() + "</title>\n" + kStyle + "\n</head><body><header>";
    if (back)
        html += "<a href=\"index.html\">&larr; Report</a>";
    html += "<h1>" + escapeHtml(heading).toUtf8() + "</h1><p class=\"meta\">" + escapeHtml(meta).toUtf8() + "</p></header>\n";
    html += "<main id=\"app\"></main>\n<script id=\"data\" type=\"application/json\">" + embeddedJson(data) + "</script>\n";
    html += kScript;
    html += "\n</body></html>\n";
    return html;
}

// Where a page of DIR/report finds a file: the exported copy beside it, else the data file;
// none for an encrypted backup's data file, which would show as a broken picture.
QString hrefFor(const QString& exported, const QString& file, bool encrypted)
{
    return !exported.isEmpty() ? QStringLiteral("../") + exported : encrypted ? QString() : file;
}

} // namespace

bool writeReport(KdBackup* model, const ExportOptions& options, QStringList* written, QStringList* errors)
{
    const QDir out(options.outDir);
    if (!out.mkpath(QStringLiteral("report"))) {
        if (errors)
            *errors << QStringLiteral("cannot create %1").arg(out.filePath(QStringLiteral("report")));
        return false;
    }
    const QDir dir(out.filePath(QStringLiteral("report")));
    bool ok = true;
    const auto write = [&](const QString& name, const QByteArray& html) {
        std::string why;
        const QString path = dir.filePath(name);
        if (!ibrio::writeFile(QFile::encodeName(path).toStdString(), html.constData(), size_t(html.size()), ibrio::OutputFile::Replace, &why)) {
            if (errors)
                *errors << QStringLiteral("cannot write %1").arg(QFile::decodeName(why.c_str()));
            ok = false;
        } else if (written) {
            *written << path;
        }
    };
    const auto selected = [&options](int category) { return options.categories.isEmpty() || options.categories.contains(category); };

    // Attachments name the data files they came from; an exported copy is the one to show.
    QHash<QString, QString> exported;
    for (int category : KdBackup::categories())
        if (KdData* data = model->getKdData(category))
            for (int row = 0; row < data->count(); ++row)
                if (auto* file = dynamic_cast<KdFileItem*>(data->at(row, false)); file && !file->exportedPath().isEmpty())
                    exported.insert(file->filePath(), file->exportedPath());

    const bool encrypted = options.source && options.source->isEncrypted();
    QJsonObject summary = summarizeExtraction(model);
    const QJsonObject device = summary.value(QStringLiteral("device")).toObject();
    const QString deviceName = device.value(QStringLiteral("deviceName")).toString();
    QJsonArray order;
    QJsonObject shown;
    for (int category : KdBackup::categories()) {
        KdData* data = selected(category) ? model->getKdData(category) : nullptr;
        if (!data)
            continue;
        order.append(data->machineName());
        shown.insert(data->machineName(), summary.value(QStringLiteral("categories")).toObject().value(data->machineName()));
        QJsonObject o = categoryJson(data, options.stopped);
        QJsonArray items = o.value(QStringLiteral("items")).toArray();
        bool hidden = false; // files of an encrypted backup not exported
        for (int i = 0; i < items.size(); ++i) {
            QJsonObject item = items[i].toObject();
            const QString file = item.value(QStringLiteral("file")).toString();
            const QString href = file.isEmpty() ? QString() : hrefFor(item.value(QStringLiteral("exported")).toString(), file, encrypted);
            if (!href.isEmpty())
                item.insert(QStringLiteral("href"), href);
            hidden = hidden || (!file.isEmpty() && href.isEmpty());
            QJsonObject detail = item.value(QStringLiteral("detail")).toObject();
            if (detail.contains(QStringLiteral("messages"))) {
                QJsonArray messages = detail.value(QStringLiteral("messages")).toArray();
                for (int m = 0; m < messages.size(); ++m) {
                    QJsonObject message = messages[m].toObject();
                    QJsonArray pieces = message.value(QStringLiteral("pieces")).toArray();
                    for (int p = 0; p < pieces.size(); ++p) {
                        QJsonObject piece = pieces[p].toObject();
                        const QString dataFile = piece.value(QStringLiteral("dataFile")).toString();
                        const QString href = dataFile.isEmpty() ? QString() : hrefFor(exported.value(dataFile), dataFile, encrypted);
                        if (!href.isEmpty())
                            piece.insert(QStringLiteral("href"), href);
                        hidden = hidden || (!dataFile.isEmpty() && href.isEmpty());
                        pieces[p] = piece;
                    }
                    message.insert(QStringLiteral("pieces"), pieces);
                    messages[m] = message;
                }
                detail.insert(QStringLiteral("messages"), messages);
                item.insert(QStringLiteral("detail"), detail);
            }
            items[i] = item;
        }
        o.insert(QStringLiteral("items"), items);
        o.insert(QStringLiteral("kind"), QStringLiteral("category"));
        o.insert(QStringLiteral("openFirst"), category == KdData::Messages);
        QString meta = QStringLiteral("%1 items, %2 deleted").arg(data->count(KdData::AllItems)).arg(data->count(KdData::DeletedItems));
        if (const int uncertain = data->count(KdData::UncertainItems))
            meta += QStringLiteral(" (%1 of them possibly live: the database is damaged)").arg(uncertain);
        if (hidden)
            meta += QStringLiteral("; the backup keeps its files encrypted: --export-files writes readable copies to show here");
        if (options.stopped)
            meta += QStringLiteral("; the extraction was stopped before its end: this list may be incomplete");
        write(data->machineName() + QStringLiteral(".html"),
              page(data->title() + QStringLiteral(" \u2014 ") + deviceName, data->title(), meta, true, o));
    }
    QJsonObject index;
    index.insert(QStringLiteral("kind"), QStringLiteral("index"));
    index.insert(QStringLiteral("device"), device);
    index.insert(QStringLiteral("categories"), shown);
    index.insert(QStringLiteral("order"), order);
    const QString heading = deviceName.isEmpty() ? QStringLiteral("Report") : deviceName;
    write(QStringLiteral("index.html"), page(QStringLiteral("Report \u2014 ") + heading, heading,
                                             QStringLiteral("What was read, live and deleted, by category"), false, index));
    return ok;
}
