// Sequences of get, set and drop on paths taken from the input, checked against a small model of
// the path rules written independently of the store: empty segments, the seven-character global
// rest, snapshots, and the object form of stored values.
#include "fuzzcommon.h"

#include <application/configuration.h>
#include <application/manager.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

using korvel::application::preset;
using korvel::application::impl::Manager;

namespace {

struct Node
{
    bool object = true;
    double number = 0;
    std::map<std::string, Node> members;
};

QJsonValue to_json(const Node &node)
{
    if (!node.object)
        return node.number;
    QJsonObject object;
    for (const auto &[name, member] : node.members)
        object.insert(QString::fromStdString(name), to_json(member));
    return object;
}

struct Path
{
    std::string text;
    bool user = true;
    bool valid = true;
    std::vector<std::string> segments;
};

using kesu::fuzz::Input;

Path make_path(Input &in)
{
    static const char *const roots[] = {"user/", "global/", "abcdefg", "user", "", "userxyz"};
    static const char *const names[] = {"a", "b", "v", "", "\xc3\xbc"};
    Path path;
    path.text = roots[in.next() % 6];
    const unsigned depth = in.next() % 4;
    std::string rest;
    for (unsigned i = 0; i <= depth; ++i) {
        if (i > 0)
            rest += '/';
        rest += names[in.next() % 5];
    }
    if (path.text == "user" || path.text.empty())
        rest = rest.substr(0, 2); // short paths: "user", "usera", ...
    path.text += rest;
    path.user = path.text.compare(0, 5, "user/") == 0;
    path.valid = path.user || path.text.size() >= 7;
    if (path.valid) {
        const std::string tail = path.text.substr(path.user ? 5 : 7);
        std::string segment;
        for (char c : tail) {
            if (c == '/') {
                path.segments.push_back(segment);
                segment.clear();
            } else {
                segment += c;
            }
        }
        path.segments.push_back(segment);
    }
    return path;
}

struct Model
{
    Node user;
    Node global;

    Node &root(const Path &path) { return path.user ? user : global; }

    const Node *find(const Path &path)
    {
        const Node *node = &root(path);
        for (const std::string &segment : path.segments) {
            if (!node->object)
                return nullptr;
            const auto member = node->members.find(segment);
            if (member == node->members.end())
                return nullptr;
            node = &member->second;
        }
        return node;
    }
    void set(const Path &path, const Node &value)
    {
        Node *node = &root(path);
        for (std::size_t i = 0; i + 1 < path.segments.size(); ++i) {
            Node &child = node->members[path.segments[i]];
            if (!child.object)
                child = Node();
            node = &child;
        }
        node->members[path.segments.back()] = value;
    }
    void drop(const Path &path)
    {
        Node *node = &root(path);
        for (std::size_t i = 0; i + 1 < path.segments.size(); ++i)
            node = &node->members[path.segments[i]];
        node->members.erase(path.segments.back());
    }
    QJsonValue expected(const Path &path)
    {
        const Node *node = find(path);
        return node ? to_json(*node) : QJsonValue(QJsonObject());
    }
};

QJsonValue make_value(Input &in)
{
    const unsigned kind = in.next();
    const double number = in.next();
    if (kind % 3 == 0)
        return number;
    if (kind % 3 == 1)
        return QJsonArray{number};
    return QJsonObject{{QStringLiteral("v"), number}};
}

Node object_form(const QJsonValue &value)
{
    Node node;
    if (value.isObject())
        node.members["v"] = Node{false, value.toObject().value(QStringLiteral("v")).toDouble(), {}};
    return node;
}

void check_handle(Model &model, const Path &path)
{
    const auto handle = preset(path.text);
    FUZZ_CHECK(bool(handle) == (model.find(path) != nullptr));
    FUZZ_CHECK(handle.get() == model.expected(path));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    kesu::fuzz::prepare();
    // Files in the run's scratch folder, the user's made anew by each input.
    const QString user_file = kesu::fuzz::scratch_folder() + QStringLiteral("/presets.json");
    const QString global_file = kesu::fuzz::scratch_folder() + QStringLiteral("/3d_presets.json");
    QFile::remove(user_file);
    QFile global(global_file);
    global.open(QIODevice::WriteOnly);
    global.write("{}");
    global.close();

    Manager manager(user_file, global_file);
    Model model;
    Input in(data, size);
    int signals_expected = 0;
    int signals_seen = 0;
    QObject::connect(&manager, &Manager::modified, [&] { ++signals_seen; });
    QObject::connect(&manager, &Manager::dropped, [&] { ++signals_seen; });

    for (int step = 0; step < 64 && !in.empty(); ++step) {
        const unsigned op = in.next() % 4;
        const Path path = make_path(in);
        if (!path.valid) {
            bool thrown = false;
            try {
                preset(path.text);
            } catch (const std::out_of_range &) {
                thrown = true;
            }
            FUZZ_CHECK(thrown);
            continue;
        }
        switch (op) {
        case 0:
            check_handle(model, path);
            break;
        case 1: {
            auto handle = preset(path.text);
            const QJsonValue before = model.expected(path);
            const QJsonValue value = make_value(in);
            handle.set(value);
            model.set(path, object_form(value));
            ++signals_expected;
            FUZZ_CHECK(handle.get() == before);
            break;
        }
        case 2: {
            auto handle = preset(path.text);
            const bool found = model.find(path) != nullptr;
            handle.drop();
            if (found) {
                model.drop(path);
                ++signals_expected;
            }
            break;
        }
        case 3: {
            // A handle built earlier keeps its snapshot while a nested handle writes.
            const auto outer = preset(path.text);
            const QJsonValue before = model.expected(path);
            const Path other = make_path(in);
            if (!other.valid)
                break;
            auto inner = preset(other.text);
            const QJsonValue value = make_value(in);
            inner.set(value);
            model.set(other, object_form(value));
            ++signals_expected;
            FUZZ_CHECK(outer.get() == before);
            break;
        }
        }
        check_handle(model, path);
    }
    FUZZ_CHECK(signals_seen == signals_expected);

    manager.on_save();
    QFile saved(user_file);
    if (saved.open(QIODevice::ReadOnly)) {
        const QJsonDocument document = QJsonDocument::fromJson(saved.readAll());
        FUZZ_CHECK(document.isObject());
        FUZZ_CHECK(QJsonValue(document.object()) == to_json(model.user));
    } else {
        FUZZ_CHECK(model.user.members.empty());
    }
    return 0;
}
