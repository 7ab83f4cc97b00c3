// The address registry as it was first built, on sorted text lists: a
// record per MAC text in MacIndex, each with the sorted list of its IPv4
// texts, and IpIndex from each IPv4 text to its owner; every list compares
// without regard to case and keeps the first of equal texts. The
// integer-keyed AddressRegistry must make the same reports and write the
// same table, byte for byte; tests and the frames fuzz target compare the
// two. Plain and slow on purpose: one thread, no bound.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/Classes.h"
#include "rtl/SysUtils.h"
#include "watch/AddressRegistry.h"

namespace watch::testing {

class TextRegistry {
 public:
  TextRegistry() {
    mac_index_.SetSorted(true);
    ip_index_.SetSorted(true);
  }

  // The reports of one sighting, in order.
  std::vector<std::string> Sight(const uint8_t* mac_bytes, uint32_t address) {
    std::vector<std::string> reports;
    const std::string ip = IpText(address);
    Record* record = RecordOf(MacText(mac_bytes));
    int index;
    if (record->addresses.Find(ip, index)) return reports;
    record->addresses.InsertFound(index, ip);
    if (record->addresses.Count() > 1) {
      reports.push_back(std::to_string(record->addresses.Count()) + " addresses on MAC " +
                        record->mac);
    }
    if (ip_index_.Find(ip, index)) {
      auto* owner = static_cast<Record*>(ip_index_.Objects(index));
      if (owner != record) {
        reports.push_back(ip + " moved from " + owner->mac + " to " + record->mac);
        ip_index_.SetObject(index, record);
      }
    } else {
      ip_index_.InsertFound(index, ip, record);
      reports.push_back(ip + " found on " + record->mac);
    }
    return reports;
  }

  void Load(std::string_view ip, std::string_view mac_line) {
    Record* record = RecordOf(rtl::Trim(mac_line));
    record->addresses.Add(ip);
    ip_index_.AddObject(ip, record);
  }

  std::string TableText() const {
    std::string text;
    for (int i = 0; i < ip_index_.Count(); ++i) {
      text += ip_index_.Strings(i) + "\r\n " +
              static_cast<const Record*>(ip_index_.Objects(i))->mac + "\r\n";
    }
    return text;
  }

  std::vector<std::string> AddressesOf(std::string_view mac) const {
    std::vector<std::string> out;
    if (auto* record = static_cast<const Record*>(mac_index_.ObjectOf(mac))) {
      for (int i = 0; i < record->addresses.Count(); ++i) {
        out.push_back(record->addresses.Strings(i));
      }
    }
    return out;
  }
  int AddressCount() const { return ip_index_.Count(); }
  int MacCount() const { return mac_index_.Count(); }

 private:
  struct Record : rtl::TObject {
    std::string mac;
    rtl::TStringList addresses;
  };
  Record* RecordOf(const std::string& mac) {
    int index;
    if (mac_index_.Find(mac, index)) return static_cast<Record*>(mac_index_.Objects(index));
    records_.push_back(std::make_unique<Record>());
    Record* record = records_.back().get();
    record->mac = mac;
    record->addresses.SetSorted(true);
    mac_index_.InsertFound(index, mac, record);
    return record;
  }

  std::vector<std::unique_ptr<Record>> records_;
  rtl::TStringList mac_index_;
  rtl::TStringList ip_index_;
};

}  // namespace watch::testing
