// Loads a driver plug-in with dlopen and drives its entry points ZRCreate and
// ZRDestroy, found by their plain C names.
#pragma once

#include <QString>

class IDllInstance;

class PluginLoader
{
public:
    PluginLoader() = default;
    PluginLoader(const PluginLoader &) = delete;
    PluginLoader &operator=(const PluginLoader &) = delete;
    // Destroys the instance if there still is one. The library itself is
    // never unloaded: see pluginloader.cpp.
    ~PluginLoader();

    bool load(const QString &path, QString *error);
    // Calls ZRCreate with `name` on the calling thread, which must be the
    // thread running the event loop.
    bool createInstance(const QString &name, QString *error);
    // Calls ZRDestroy; nothing happens without an instance.
    void destroyInstance();

    IDllInstance *instance() const { return created; }
    void *symbol(const char *name) const;
    QString path() const { return libraryPath; }

private:
    using CreateFunction = IDllInstance *(*)(const wchar_t *);
    using DestroyFunction = void (*)(IDllInstance *);

    QString libraryPath;
    void *handle = nullptr;
    CreateFunction create = nullptr;
    DestroyFunction destroy = nullptr;
    IDllInstance *created = nullptr;
};
