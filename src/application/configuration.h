#pragma once

#include <kesupluginmanager_export.h>

#include <QJsonValue>
#include <QString>

QT_BEGIN_NAMESPACE
class QJsonDocument;
QT_END_NAMESPACE

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace korvel::application {
namespace impl {

class ManagerPrivate;

// A short-lived handle on one value of the configuration, addressed by a slash path such as
// "user/rendering/dvr/last/preset" ("user/" for the user's document, anything else for the
// shipped one). It holds the store's recursive lock from construction to destruction and is a
// snapshot: get() and operator bool describe the value as it was when the handle was built.
class KESUPLUGINMANAGER_EXPORT Configuration
{
public:
    enum class Root : std::uint32_t { user = 0, global = 1 };

    // Locks the store and resolves the path. Throws std::out_of_range for a path that does not
    // begin with "user/" and is shorter than seven characters, and std::logic_error when no
    // manager exists.
    explicit Configuration(const std::string &path);
    Configuration(Configuration &&) = default;
    ~Configuration();

    // True when every segment of the path existed when the handle was built.
    operator bool() const;
    // The value found at construction, or an empty object when the path was not found. get, set
    // and drop throw std::logic_error("no configuration manager") once the manager is destroyed.
    QJsonValue get() const;
    // Stores the object form of value at the path (a non-object becomes an empty object),
    // creating the objects on the way; emits the manager's modified().
    void set(QJsonValue value);
    // Removes the value when the path was found at construction; emits the manager's dropped().
    void drop();

private:
    static std::unique_lock<std::recursive_mutex> lock_store();
    void require_manager() const;
    QJsonDocument &document() const;
    QString root_prefix() const;

    std::unique_lock<std::recursive_mutex> guard;
    std::string path;
    QJsonValue value;
    bool found;
    Root root;
    // The store's state, shared so that a handle outliving its manager can tell.
    std::shared_ptr<ManagerPrivate> store;
};

} // namespace impl

// A handle on path; the caller holds the store's lock until the handle is destroyed.
KESUPLUGINMANAGER_EXPORT impl::Configuration preset(const std::string &path);

} // namespace korvel::application
