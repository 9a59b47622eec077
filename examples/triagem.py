#!/usr/bin/env python3
"""Triagem de um texto como contrato, pelas palavras-chave.

Uso: python3 examples/triagem.py ARQUIVO.txt
"""
import sys

from lexaro_contract.keywords import validar_documento_contrato


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 3
    with open(argv[1], encoding="utf-8") as f:
        texto = f.read()
    eh_contrato, quantidade, encontradas = validar_documento_contrato(texto)
    print(("✅ É um contrato" if eh_contrato else "❌ Não parece um contrato") + f" ({quantidade} palavras-chave)")
    for k in encontradas:
        print("   •", k)
    return 0 if eh_contrato else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
