#include "pluginloader.h"

#include <dlfcn.h>
#include <string>

// The library stays loaded until the process ends. Its process-wide objects
// (the ORB connection, meta-objects, types registered with Qt and the ORB)
// outlive any instance of it, and code of other modules may still hold
// pointers into it after ZRDestroy.

PluginLoader::~PluginLoader()
{
    destroyInstance();
}

bool PluginLoader::load(const QString &path, QString *error)
{
    libraryPath = path;
    handle = ::dlopen(path.toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        *error = QStringLiteral("cannot load %1: %2").arg(path, QString::fromLocal8Bit(::dlerror()));
        return false;
    }
    create = reinterpret_cast<CreateFunction>(::dlsym(handle, "ZRCreate"));
    destroy = reinterpret_cast<DestroyFunction>(::dlsym(handle, "ZRDestroy"));
    if (!create || !destroy) {
        *error = QStringLiteral("%1 does not export ZRCreate and ZRDestroy").arg(path);
        create = nullptr;
        destroy = nullptr;
        return false;
    }
    return true;
}

bool PluginLoader::createInstance(const QString &name, QString *error)
{
    if (!create) {
        *error = QStringLiteral("no plug-in loaded");
        return false;
    }
    const std::wstring wideName = name.toStdWString();
    created = create(wideName.c_str());
    if (!created) {
        *error = QStringLiteral("ZRCreate of %1 returned no instance").arg(libraryPath);
        return false;
    }
    return true;
}

void PluginLoader::destroyInstance()
{
    if (!created)
        return;
    IDllInstance *instance = created;
    created = nullptr;
    destroy(instance);
}

void *PluginLoader::symbol(const char *name) const
{
    return handle ? ::dlsym(handle, name) : nullptr;
}
