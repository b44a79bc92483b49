"""The tavro ciphers: ``tavro_crypt_3`` (Base64 text codec) and ``tavro_crypt_4`` (keyed byte
cipher)."""
