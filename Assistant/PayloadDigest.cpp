#include "PayloadDigest.h"

#include <openssl/evp.h>

PayloadDigest::PayloadDigest() : mMd5(EVP_MD_CTX_new()), mSha256(EVP_MD_CTX_new())
{
    mOk = mMd5 && mSha256 && EVP_DigestInit_ex(mMd5, EVP_md5(), nullptr) == 1 &&
          EVP_DigestInit_ex(mSha256, EVP_sha256(), nullptr) == 1;
}

PayloadDigest::~PayloadDigest()
{
    EVP_MD_CTX_free(mMd5);
    EVP_MD_CTX_free(mSha256);
}

void PayloadDigest::Update(const void* data, size_t size)
{
    mOk = mOk && EVP_DigestUpdate(mMd5, data, size) == 1 && EVP_DigestUpdate(mSha256, data, size) == 1;
}

bool PayloadDigest::Finish(std::string* md5, std::string* sha256)
{
    unsigned char md5Bytes[EVP_MAX_MD_SIZE];
    unsigned char shaBytes[EVP_MAX_MD_SIZE];
    unsigned int md5Size = 0;
    unsigned int shaSize = 0;
    mOk = mOk && EVP_DigestFinal_ex(mMd5, md5Bytes, &md5Size) == 1 &&
          EVP_DigestFinal_ex(mSha256, shaBytes, &shaSize) == 1;
    if (mOk) {
        md5->assign(reinterpret_cast<const char*>(md5Bytes), md5Size);
        sha256->assign(reinterpret_cast<const char*>(shaBytes), shaSize);
    }
    return mOk;
}
