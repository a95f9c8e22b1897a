// Named classes with pooled instances.
#ifndef LIBVUX_VUXFACTORY_H
#define LIBVUX_VUXFACTORY_H

#include <libvux/vuxapi.h>

#include <map>
#include <string>

#include <libvux/vuxthread.h>

VUX_API_BEGIN

namespace vux_factory {

// Classes are registered at start-up; instances are taken and given back from
// any thread. The factory must outlive the instances it hands out.
class BaseFactory {
public:
    class FactoryCache;

    // The base of pooled objects.
    class BaseElem {
    public:
        BaseElem(void* first, void* second);
        virtual ~BaseElem();
        BaseElem(const BaseElem&) = delete;
        BaseElem& operator=(const BaseElem&) = delete;

        void* First() const { return first_; }
        void* Second() const { return second_; }

    private:
        friend class BaseFactory;
        friend class FactoryCache;
        BaseElem* next_;
        FactoryCache* cache_;
        void* first_;
        void* second_;
    };

    typedef BaseElem* (*Creator)();

    // One class: its creator and its idle instances, most recently returned first.
    class FactoryCache {
    public:
        FactoryCache(int index, Creator creator, vux_thread::SafeLock* lock);
        ~FactoryCache();
        FactoryCache(const FactoryCache&) = delete;
        FactoryCache& operator=(const FactoryCache&) = delete;

        int Index() const { return index_; }

    private:
        friend class BaseFactory;
        int index_;
        Creator creator_;
        vux_thread::SafeLock* lock_;
        BaseElem* head_;
    };

    BaseFactory();
    ~BaseFactory();
    BaseFactory(const BaseFactory&) = delete;
    BaseFactory& operator=(const BaseFactory&) = delete;

    void RealRegister(const std::string& name, Creator creator);
    int Index(const std::string& name) const;
    BaseElem* RealGet(const std::string& name);
    // Gives an instance back to the idle list of its class.
    void Deleter(BaseElem* elem);

private:
    vux_thread::SafeLock lock_;
    std::map<std::string, FactoryCache> caches_;
    int count_;
};

}  // namespace vux_factory

VUX_API_END

#endif
