#include "support.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonValue>
#include <QStringList>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace korvel::bench {

namespace {

std::atomic<int> s_warnings{0};
std::mutex s_last_warning_mutex;
QString s_last_warning;

void count_warning(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    {
        std::lock_guard<std::mutex> lock(s_last_warning_mutex);
        s_last_warning = text;
    }
    // Only the first is shown: a warning in a measured loop repeats millions of times.
    if (s_warnings.fetch_add(1) == 0)
        std::fprintf(stderr, "warning: %s\n", qUtf8Printable(text));
}

QByteArray indent(int width)
{
    return QByteArray(width, ' ');
}

QByteArray encode_string(const QString &text)
{
    // A one-element array is the shortest document that QJsonDocument writes a string in.
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

QByteArray encode_number(double value)
{
    if (std::floor(value) == value && std::fabs(value) < 1e15)
        return QByteArray::number(static_cast<qint64>(value));
    return QByteArray::number(value, 'g', QLocale::FloatingPointShortest);
}

QByteArray encode(const QJsonValue &value, int width);

bool is_point(const QJsonObject &object)
{
    static const QStringList members{QStringLiteral("b"),         QStringLiteral("g"),
                                     QStringLiteral("midpoint"),  QStringLiteral("r"),
                                     QStringLiteral("sharpness"), QStringLiteral("x"),
                                     QStringLiteral("y")};
    return object.keys() == members;
}

QByteArray encode_point(const QJsonObject &point)
{
    static const char *const order[] = {"x", "y", "r", "g", "b", "midpoint", "sharpness"};
    QByteArrayList members;
    for (const char *key : order)
        members.append('"' + QByteArray(key)
                       + "\": " + encode_number(point.value(QLatin1String(key)).toDouble()));
    return '{' + members.join(", ") + '}';
}

QByteArray encode_object(const QJsonObject &object, int width)
{
    if (object.isEmpty())
        return "{}";
    if (is_point(object))
        return encode_point(object);
    QByteArrayList members;
    for (auto member = object.begin(); member != object.end(); ++member)
        members.append(indent(width + 4) + encode_string(member.key()) + ": "
                       + encode(member.value(), width + 4));
    return "{\n" + members.join(",\n") + '\n' + indent(width) + '}';
}

bool is_flat(const QJsonArray &array)
{
    for (const QJsonValue &element : array) {
        if (!element.isDouble() && !element.isString())
            return false;
    }
    return true;
}

QByteArray encode_array(const QJsonArray &array, int width)
{
    QByteArrayList lines;
    if (is_flat(array)) {
        if (array.size() <= 4) {
            QByteArrayList elements;
            for (const QJsonValue &element : array)
                elements.append(encode(element, width));
            return '[' + elements.join(", ") + ']';
        }
        for (int row = 0; row < array.size(); row += 16) {
            QByteArrayList elements;
            for (int i = row; i < std::min(row + 16, int(array.size())); ++i)
                elements.append(encode(array.at(i), width));
            lines.append(indent(width + 4) + elements.join(", "));
        }
    } else {
        for (const QJsonValue &element : array)
            lines.append(indent(width + 4) + encode(element, width + 4));
    }
    return "[\n" + lines.join(",\n") + '\n' + indent(width) + ']';
}

QByteArray encode(const QJsonValue &value, int width)
{
    switch (value.type()) {
    case QJsonValue::Object:
        return encode_object(value.toObject(), width);
    case QJsonValue::Array:
        return encode_array(value.toArray(), width);
    case QJsonValue::Double:
        return encode_number(value.toDouble());
    case QJsonValue::String:
        return encode_string(value.toString());
    case QJsonValue::Bool:
        return value.toBool() ? "true" : "false";
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        break;
    }
    return "null";
}

QJsonObject child(const QJsonObject &object, const char *key)
{
    return object.value(QLatin1String(key)).toObject();
}

// rendering/<area>/preset of a document, for area "dvr" or "clut".
QJsonObject presets_of(const QJsonObject &document, const char *area)
{
    return child(child(child(document, "rendering"), area), "preset");
}

QJsonObject with_presets(QJsonObject document, const QJsonObject &dvr, const QJsonObject &clut)
{
    QJsonObject rendering = child(document, "rendering");
    rendering.insert(QStringLiteral("dvr"), QJsonObject{{QStringLiteral("preset"), dvr}});
    rendering.insert(QStringLiteral("clut"), QJsonObject{{QStringLiteral("preset"), clut}});
    document.insert(QStringLiteral("rendering"), rendering);
    return document;
}

} // namespace

QByteArray shipped_defaults()
{
    static const QByteArray text = [] {
        QFile file(QCoreApplication::applicationDirPath()
                   + QStringLiteral("/../Resources/3d_presets.json"));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qUtf8Printable(file.fileName()));
            std::exit(2);
        }
        return file.readAll();
    }();
    return text;
}

QJsonObject shipped_document()
{
    return QJsonDocument::fromJson(shipped_defaults()).object();
}

QJsonObject shipped_preset(const QString &name)
{
    return presets_of(shipped_document(), "dvr").value(name).toObject();
}

QJsonArray points_256(double first, double last)
{
    QJsonArray points;
    for (int i = 0; i < 256; ++i) {
        const double t = i / 255.0;
        points.append(QJsonObject{{QStringLiteral("x"), first + t * (last - first)},
                                  {QStringLiteral("y"), t * t},
                                  {QStringLiteral("r"), t},
                                  {QStringLiteral("g"), 1.0 - t},
                                  {QStringLiteral("b"), 0.5},
                                  {QStringLiteral("midpoint"), 0.5},
                                  {QStringLiteral("sharpness"), 0.0}});
    }
    return points;
}

QString user_preset_name(int index)
{
    return QStringLiteral("User preset %1").arg(index, 4, 10, QLatin1Char('0'));
}

QJsonDocument user_document(int presets, const QString &last_preset)
{
    const QJsonObject base = shipped_preset(QStringLiteral("Standard"));
    const QJsonArray points = points_256(-1000.0, 3000.0);
    QJsonObject all;
    for (int i = 0; i < presets; ++i) {
        QJsonObject preset = base;
        preset.insert(QStringLiteral("description"), user_preset_name(i));
        preset.insert(QStringLiteral("group"), QStringLiteral("User"));
        preset.insert(QStringLiteral("read_only"), false);
        if (i % 2 == 1)
            preset.insert(QStringLiteral("points"), points);
        all.insert(user_preset_name(i), preset);
    }
    const QJsonObject dvr{{QStringLiteral("preset"), all},
                          {QStringLiteral("last"),
                           QJsonObject{{QStringLiteral("preset"),
                                        QJsonObject{{QStringLiteral("key"), last_preset}}}}}};
    return QJsonDocument(
        QJsonObject{{QStringLiteral("rendering"), QJsonObject{{QStringLiteral("dvr"), dvr}}}});
}

QByteArray user_file_text(int presets, const QString &last_preset)
{
    static std::map<std::pair<int, QString>, QByteArray> texts;
    QByteArray &text = texts[{presets, last_preset}];
    if (text.isEmpty())
        text = user_document(presets, last_preset).toJson();
    return text;
}

QByteArray encode_like_shipped(const QJsonObject &document)
{
    return encode(document, 0) + '\n';
}

QByteArray shipped_of_size(qint64 bytes)
{
    const QJsonObject shipped = shipped_document();
    QJsonObject dvr = presets_of(shipped, "dvr");
    QJsonObject clut = presets_of(shipped, "clut");
    std::vector<std::pair<QJsonObject *, QString>> originals;
    for (const QString &name : dvr.keys())
        originals.emplace_back(&dvr, name);
    for (const QString &name : clut.keys())
        originals.emplace_back(&clut, name);

    // Each copy adds about its own encoded size (its key and the separators aside), so the text
    // is encoded in full only once, at the end.
    qint64 size = encode_like_shipped(shipped).size();
    for (int copy = 1; size < bytes; ++copy) {
        for (const auto &[presets, name] : originals) {
            QJsonObject value = presets->value(name).toObject();
            const QString numbered = name + QStringLiteral(" (%1)").arg(copy);
            if (presets == &dvr)
                value.insert(QStringLiteral("description"), numbered);
            size += encode(value, 16).size() + numbered.size() + 24;
            presets->insert(numbered, value);
            if (size >= bytes)
                break;
        }
    }
    return encode_like_shipped(with_presets(shipped, dvr, clut));
}

TemporaryStore::TemporaryStore(const QByteArray &user_text, const QByteArray &global_text)
{
    const auto write = [](const QString &path, const QByteArray &text) {
        if (text.isEmpty())
            return;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size()) {
            std::fprintf(stderr, "cannot write %s\n", qUtf8Printable(path));
            std::exit(2);
        }
    };
    QDir(folder.path()).mkpath(user_folder());
    write(user_file(), user_text);
    write(global_file(), global_text);
    store = std::make_unique<application::impl::Manager>(user_file(), global_file());
}

// The manager writes a pending change when it is destroyed. The benchmarks' changes are not
// worth it (for the largest documents the write takes longer than the benchmark), and without
// the folder ".kesu" the store keeps them in memory.
TemporaryStore::~TemporaryStore()
{
    QDir(user_folder()).removeRecursively();
    store.reset();
}

QString TemporaryStore::user_folder() const
{
    return folder.filePath(QStringLiteral("home/.kesu"));
}

QString TemporaryStore::user_file() const
{
    return user_folder() + QStringLiteral("/presets.json");
}

QString TemporaryStore::global_file() const
{
    return folder.filePath(QStringLiteral("3d_presets.json"));
}

void deliver_posted_events()
{
    QCoreApplication::sendPostedEvents();
}

void watch_warnings()
{
    qInstallMessageHandler(&count_warning);
}

int warning_count()
{
    return s_warnings.load();
}

QString last_warning()
{
    std::lock_guard<std::mutex> lock(s_last_warning_mutex);
    return s_last_warning;
}

void fail_on_warnings(benchmark::State &state, int before)
{
    if (warning_count() != before)
        state.SkipWithError(
            qUtf8Printable(QStringLiteral("warning in the measured path: ") + last_warning()));
}

bool expect(benchmark::State &state, bool condition, const char *message)
{
    if (!condition)
        state.SkipWithError(message);
    return condition;
}

} // namespace korvel::bench
