// DynBuffer: growable byte buffer consumed from the front.
#include <tavo/DynBuffer>

#include <cassert>
#include <cstring>
#include <utility>

namespace KVN {

DynBuffer::DynBuffer(size_t initial_capacity)
    : m_avail(initial_capacity),
      m_size(0),
      m_buff(new unsigned char[initial_capacity + 1]),
      m_data(m_buff) {}

DynBuffer::DynBuffer(const DynBuffer& other)
    : m_avail(other.capacity()),
      m_size(other.m_size),
      m_buff(new unsigned char[other.capacity() + 1]),
      m_data(m_buff) {
  if (m_size) memcpy(m_buff, other.m_data, m_size);
}

DynBuffer& DynBuffer::operator=(const DynBuffer& other) {
  if (this != &other) assign(other.m_data, other.m_size);
  return *this;
}

DynBuffer::~DynBuffer() { delete[] m_buff; }

void DynBuffer::swap(DynBuffer& other) {
  std::swap(m_avail, other.m_avail);
  std::swap(m_size, other.m_size);
  std::swap(m_buff, other.m_buff);
  std::swap(m_data, other.m_data);
}

// Moves the content into a new block of new_capacity (+1) bytes at its start.
void DynBuffer::reallocate(size_t new_capacity) {
  unsigned char* block = new unsigned char[new_capacity + 1];
  if (m_size) memcpy(block, m_data, m_size);
  delete[] m_buff;
  m_buff = m_data = block;
  m_avail = new_capacity;
}

void DynBuffer::reserve(size_t n) {
  if (m_avail >= n) return;
  size_t cap = capacity();
  if (cap < n) {
    reallocate(2 * cap > n ? 2 * cap : n);
  } else {
    // Room exists, but in front of the content: move it back to the start.
    memmove(m_buff, m_data, m_size);
    m_data = m_buff;
    m_avail = cap;
  }
}

void DynBuffer::resize(size_t n) {
  reserve(n);
  m_size = n;
}

void DynBuffer::clear() {
  m_avail = capacity();
  m_size = 0;
  m_data = m_buff;
}

void DynBuffer::assign(const void* src, size_t len) {
  size_t cap = capacity();
  if (cap < len) {
    size_t new_cap = 2 * cap > len ? 2 * cap : len;
    unsigned char* block = new unsigned char[new_cap + 1];
    memcpy(block, src, len);
    delete[] m_buff;
    m_buff = block;
    cap = new_cap;
  } else if (len) {
    // src may lie inside this buffer.
    memmove(m_buff, src, len);
  }
  m_data = m_buff;
  m_avail = cap;
  m_size = len;
}

void DynBuffer::append(const void* src, size_t len) {
  if (len == 0) return;
  // src may point into this buffer, which reserve can move or free.
  const unsigned char* p = static_cast<const unsigned char*>(src);
  if (p >= m_data && p < m_data + m_avail) {
    size_t offset = static_cast<size_t>(p - m_data);
    reserve(m_size + len);
    memmove(m_data + m_size, m_data + offset, len);
  } else {
    reserve(m_size + len);
    memcpy(m_data + m_size, src, len);
  }
  m_size += len;
}

void DynBuffer::erase(size_t n) {
  assert(n <= m_size);
  if (n >= m_size) {
    clear();
    return;
  }
  m_data += n;
  m_size -= n;
  m_avail -= n;
}

const char* DynBuffer::c_str() const {
  m_data[m_size] = 0;
  return reinterpret_cast<const char*>(m_data);
}

char* DynBuffer::c_str_nc() {
  m_data[m_size] = 0;
  return reinterpret_cast<char*>(m_data);
}

unsigned char* DynBuffer::reserve_write(size_t n) {
  reserve(m_size + n);
  return m_data + m_size;
}

void DynBuffer::commit_write(size_t n) {
  assert(m_size + n <= m_avail);
  m_size += n;
}

}  // namespace KVN
