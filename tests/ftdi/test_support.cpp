#include "recording_chip.h"

#include <cstring>

namespace {

class fake_driver_t : public ftdi_driver_t {
public:
    explicit fake_driver_t(fake_library_t &library) : library(library) { library.loads++; }

    void set_usb_ids(uint16_t vendor_id, uint16_t product_id) override
    {
        library.usb_ids.push_back(uint32_t(vendor_id) << 16 | product_id);
    }
    std::string open_failure_advice(uint32_t) override { return library.advice; }

    uint32_t create_device_info_list(uint32_t &count) override
    {
        count = static_cast<uint32_t>(library.devices.size());
        return library.count_status;
    }
    uint32_t get_device_info_list(ftdi_node_t *nodes, uint32_t &count) override
    {
        const auto &devices = library.devices;
        if (count > devices.size())
            count = static_cast<uint32_t>(devices.size());
        for (uint32_t i = 0; i < count; i++)
            nodes[i] = devices[i];
        return library.list_status;
    }
    uint32_t open_ex(const char *key, uint32_t how) override
    {
        library.opened_key = key;
        library.opened_how = how;
        if (library.open_status != FTDI_OK)
            return library.open_status;
        const auto &devices = library.devices;
        for (size_t i = 0; i < devices.size(); i++) {
            const char *name = how == FTDI_OPEN_BY_SERIAL_NUMBER ? devices[i].serial_number : devices[i].description;
            if (strcmp(name, key) == 0 && !(devices[i].flags & 1)) {
                opened = static_cast<int>(i);
                return FTDI_OK;
            }
        }
        return FTDI_DEVICE_NOT_FOUND;
    }
    uint32_t get_device_info(ftdi_node_t &info) override
    {
        if (library.info_status != FTDI_OK)
            return library.info_status;
        info = library.devices.at(static_cast<size_t>(opened));
        info.flags = 0;
        return FTDI_OK;
    }
    void close() override { library.closes++; }
    std::unique_ptr<ftdi_chip_t> take_chip() override
    {
        return std::unique_ptr<ftdi_chip_t>(new recording_chip_t(library.chip_log));
    }

private:
    fake_library_t &library;
    int opened = -1;
};

}  // namespace

ftdi_library_t fake_library_t::choice()
{
    ftdi_library_t library;
    library.loader = [this] { return std::unique_ptr<ftdi_driver_t>(new fake_driver_t(*this)); };
    return library;
}

ftdi_node_t node(uint32_t type, const char *serial, const char *description, uint32_t flags)
{
    ftdi_node_t n;
    n.type = type;
    n.flags = flags;
    snprintf(n.serial_number, sizeof n.serial_number, "%s", serial);
    snprintf(n.description, sizeof n.description, "%s", description);
    return n;
}

ftdi_device_attributes_t request(const char *serial, const char *description, uint32_t type)
{
    ftdi_device_attributes_t a;
    a.device_type = type;
    snprintf(a.serial_number, sizeof a.serial_number, "%s", serial);
    snprintf(a.description, sizeof a.description, "%s", description);
    return a;
}

ftdi_library_t library_file(ftdi_library_kind_t kind, const std::string &path)
{
    ftdi_library_t library;
    library.kind = kind;
    library.path = path;
    return library;
}

std::vector<uint8_t> bytes(std::initializer_list<int> values)
{
    std::vector<uint8_t> result;
    for (int v : values)
        result.push_back(static_cast<uint8_t>(v));
    return result;
}

std::string hex(const std::vector<uint8_t> &data)
{
    std::string text;
    char byte[4];
    for (size_t i = 0; i < data.size(); i++) {
        snprintf(byte, sizeof byte, i ? " %02X" : "%02X", data[i]);
        text += byte;
    }
    return text;
}
