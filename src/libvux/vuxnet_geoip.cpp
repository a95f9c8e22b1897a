#include <libvux/vuxnet.h>

#include <GeoIP.h>

#include <libvux/vuxerr.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxtest.h>


namespace vux_net {

namespace {

const char kGeoip4[] = "/usr/share/GeoIP/GeoIP.dat";
const char kGeoip6[] = "/usr/share/GeoIP/GeoIPv6.dat";

GeoIP* Db(void* db) { return static_cast<GeoIP*>(db); }

std::string Answer(const char* text) { return text ? text : ""; }

}  // namespace

GeoipCountry::GeoipCountry(const std::string& addr) : addr_(addr) {
    if (!vux_file::Exists(kGeoip4) || !vux_file::Exists(kGeoip6)) throw vux_err::Missed("file", kGeoip4);
    std::string net = addr_;
    if (test::Net(net)) addr_ = addr_.substr(0, addr_.rfind('/'));
    std::string ip4 = addr_, ip6 = addr_;
    if (test::Ip4(ip4)) {
        addr_ = ip4;
        db_ = GeoIP_open(kGeoip4, GEOIP_CHECK_CACHE);
    } else if (test::Ip6(ip6)) {
        addr_ = ip6;
        ipv6_ = true;
        db_ = GeoIP_open(kGeoip6, GEOIP_CHECK_CACHE);
    } else {
        throw vux_err::Value("ipaddr", addr);
    }
    if (!db_) throw vux_err::Error("geoip", "open", ipv6_ ? kGeoip6 : kGeoip4).set_report();
}

GeoipCountry::~GeoipCountry() {
    if (db_) GeoIP_delete(Db(db_));
}

std::string GeoipCountry::Name() const {
    return Answer(ipv6_ ? GeoIP_country_name_by_addr_v6(Db(db_), addr_.c_str())
                        : GeoIP_country_name_by_addr(Db(db_), addr_.c_str()));
}

std::string GeoipCountry::Code() const {
    return Answer(ipv6_ ? GeoIP_country_code_by_addr_v6(Db(db_), addr_.c_str())
                        : GeoIP_country_code_by_addr(Db(db_), addr_.c_str()));
}

}  // namespace vux_net
