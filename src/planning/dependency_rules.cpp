#include "planning/dependency_rules.h"

namespace velmora {

bool satisfies(const PackageInfo& package, const Dependency& d) {
    return sameName(package.name, d.name) && package.version >= d.min &&
           (d.max == 0 || package.version <= d.max);
}

bool rangesOverlap(const Dependency& e, const Dependency& d) {
    if (!sameName(e.name, d.name)) return false;
    if (e.min != 0 && d.max != 0 && e.min > d.max) return false;
    if (e.max != 0 && d.min != 0 && e.max < d.min) return false;
    return true;
}

bool providesFor(const PackageInfo& package, const Dependency& d) {
    for (const Dependency& e : package.provides) {
        if (rangesOverlap(e, d)) return true;
    }
    return false;
}

bool providesName(const PackageInfo& package, std::string_view name) {
    for (const Dependency& e : package.provides) {
        if (sameName(e.name, name)) return true;
    }
    return false;
}

bool dependsOn(const PackageInfo& a, const PackageInfo& b) {
    for (const Dependency& d : a.deps) {
        if (satisfies(b, d) || providesFor(b, d)) return true;
    }
    // Members of an offered bundle have no members of their own, so the
    // recursion goes at most one level down on each side.
    for (const auto& m : b.members) {
        if (dependsOn(a, *m)) return true;
    }
    for (const auto& m : a.members) {
        if (dependsOn(*m, b)) return true;
    }
    return false;
}

bool conflictsWith(const PackageInfo& a, const PackageInfo& b) {
    if (isPlaceholder(a) || isPlaceholder(b)) return false;

    // An explicit conflict by name and range cannot be cleared below.
    for (const Dependency& c : a.conflicts) {
        if (satisfies(b, c)) return true;
    }

    // b stands in for a: only a negative priority makes it a rival.
    for (const Dependency& e : b.provides) {
        if (sameName(e.name, a.name)) return e.priority < 0;
    }

    // a stands in for b, or both stand in for one name: the provider of
    // higher priority pushes the other out.
    for (const Dependency& e : a.provides) {
        if (sameName(e.name, b.name)) return e.priority >= 0;
        for (const Dependency& f : b.provides) {
            if (sameName(e.name, f.name)) return e.priority > f.priority;
        }
    }

    for (const Dependency& c : a.conflicts) {
        if (providesFor(b, c)) return true;
    }
    for (const auto& m : b.members) {
        if (sameName(m->name, a.name)) return true;
    }
    for (const auto& m : a.members) {
        if (conflictsWith(*m, b)) return true;
    }
    return false;
}

bool isOrContains(const PackageInfo& package, std::string_view name) {
    if (sameName(package.name, name)) return true;
    for (const auto& m : package.members) {
        if (sameName(m->name, name)) return true;
    }
    return false;
}

namespace {

const PackageInfo* memberNamed(const PackageInfo& bundle, std::string_view name) {
    for (const auto& m : bundle.members) {
        if (sameName(m->name, name)) return m.get();
    }
    return nullptr;
}

}  // namespace

int compareVersions(const PackageInfo& a, const PackageInfo& b) {
    const PackageInfo* x = &a;
    const PackageInfo* y = &b;
    int sign = 1;
    if (!sameName(a.name, b.name)) {
        if (const PackageInfo* m = memberNamed(a, b.name)) {
            x = m;
        } else if (const PackageInfo* n = memberNamed(b, a.name)) {
            x = n;
            y = &a;
            sign = -1;
        } else {
            return 0;
        }
    }
    if (x->version != y->version) return x->version > y->version ? sign : -sign;
    if (x->buildTime != y->buildTime) return x->buildTime > y->buildTime ? sign : -sign;
    return 0;
}

int compareForSelection(const PackageInfo& a, const PackageInfo& b, bool downgrade) {
    int order = compareVersions(a, b);
    return downgrade ? -order : order;
}

}  // namespace velmora
