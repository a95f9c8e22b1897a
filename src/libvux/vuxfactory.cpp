#include <libvux/vuxfactory.h>

#include <libvux/vuxerr.h>

namespace vux_factory {

BaseFactory::BaseElem::BaseElem(void* first, void* second)
    : next_(nullptr), cache_(nullptr), first_(first), second_(second) {}

BaseFactory::BaseElem::~BaseElem() {}

BaseFactory::FactoryCache::FactoryCache(int index, Creator creator, vux_thread::SafeLock* lock)
    : index_(index), creator_(creator), lock_(lock), head_(nullptr) {}

BaseFactory::FactoryCache::~FactoryCache() {
    while (head_) {
        BaseElem* e = head_;
        head_ = e->next_;
        delete e;
    }
}

BaseFactory::BaseFactory() : count_(0) {}

BaseFactory::~BaseFactory() {}

void BaseFactory::RealRegister(const std::string& name, Creator creator) {
    VUX_ASSERT(!caches_.count(name), "Duplicate class");
    caches_.emplace(std::piecewise_construct, std::forward_as_tuple(name),
                    std::forward_as_tuple(count_, creator, &lock_));
    ++count_;
}

int BaseFactory::Index(const std::string& name) const {
    auto it = caches_.find(name);
    VUX_ASSERT(it != caches_.end(), "Unregistered class");
    return it->second.index_;
}

BaseFactory::BaseElem* BaseFactory::RealGet(const std::string& name) {
    auto it = caches_.find(name);
    VUX_ASSERT(it != caches_.end(), "Uregistered class");
    FactoryCache& cache = it->second;
    {
        vux_thread::SafeSection section(lock_);
        if (BaseElem* e = cache.head_) {
            cache.head_ = e->next_;
            e->next_ = nullptr;
            return e;
        }
    }
    BaseElem* e = cache.creator_();
    if (e) e->cache_ = &cache;
    return e;
}

void BaseFactory::Deleter(BaseElem* elem) {
    if (!elem) return;
    FactoryCache* cache = elem->cache_;
    // Not one of ours: nobody else will free it.
    if (!cache) {
        delete elem;
        return;
    }
    vux_thread::SafeSection section(*cache->lock_);
    elem->next_ = cache->head_;
    cache->head_ = elem;
}

}  // namespace vux_factory
